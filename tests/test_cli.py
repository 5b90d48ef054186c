"""Files of each format, the command line as a subprocess, and the type stubs."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.csv
import pyarrow.feather
import pyarrow.parquet
import pytest

import tessary

from helpers import child_environment, figures

TABLE = pa.table({"x": np.arange(1000) / 8.0, "s": pa.array(["ab", "c", None, "ab"] * 250)})
WRITERS = {
    "data.parquet": lambda t, p: pyarrow.parquet.write_table(t, p, row_group_size=300),
    "data.feather": pyarrow.feather.write_feather,
    "data.csv": pyarrow.csv.write_csv,
    "data.csv.gz": lambda t, p: pyarrow.csv.write_csv(t, pa.CompressedOutputStream(p, "gzip")),
    "data.jsonl": lambda t, p: Path(p).write_text(
        "".join(json.dumps(r) + "\n" for r in t.to_pylist())),
}


def run(*args):
    return subprocess.run([sys.executable, "-m", "tessary", *map(str, args)],
                          capture_output=True, text=True, env=child_environment(), timeout=300)


@pytest.mark.parametrize("name", WRITERS)
def test_files_profile_like_the_table(tmp_path, name):
    path = tmp_path / name
    WRITERS[name](TABLE, str(path))
    assert figures(tessary.profile(path)) == figures(tessary.profile(TABLE))


def test_npy_file_is_read_in_place(tmp_path):
    values = np.arange(10.0)
    np.save(tmp_path / "v.npy", values)
    assert tessary.profile(tmp_path / "v.npy") == tessary.profile(values)


def test_cli_prints_report_and_json(tmp_path):
    path = tmp_path / "data.parquet"
    WRITERS["data.parquet"](TABLE, str(path))
    shown = run(path)
    assert shown.returncode == 0 and "numeric columns" in shown.stdout and shown.stderr == ""
    as_json = run(path, "--json", "--columns", "x")
    assert as_json.stdout.count("\n") == 1  # one line of JSON per file
    assert json.loads(as_json.stdout) == {"path": str(path),
                                          **tessary.profile(path, columns=["x"]).to_dict()}
    demo = run()
    assert demo.returncode == 0 and "tessary profile: 200,000 rows" in demo.stdout


def test_cli_reports_each_file_as_it_goes_on_past_a_failure(tmp_path):
    paths = [tmp_path / "data.parquet", tmp_path / "missing.csv", tmp_path / "data.csv"]
    for path in paths[::2]:
        WRITERS[path.name](TABLE, str(path))
    shown = run(*paths)
    assert shown.returncode == 1 and shown.stdout.count("numeric columns") == 2
    assert shown.stderr.count("\n") == 1 and "missing.csv: no such file" in shown.stderr
    as_json = run(*paths, "--json")
    lines = [json.loads(line) for line in as_json.stdout.splitlines()]
    assert as_json.returncode == 1 and [line.pop("path") for line in lines] == [
        str(paths[0]), str(paths[2])]
    assert [line["rows"] for line in lines] == [1000, 1000]


def garbage(path):
    path.write_bytes(b"PAR1garbage")


# Each file, made by `make` unless it is missing, fails alone: one line, status 1. Reading a
# FIFO would wait for a writer for ever.
@pytest.mark.parametrize(("name", "make", "args", "message"), [
    ("bad.parquet", garbage, [], "bad.parquet: "),
    ("x.xlsx", garbage, [], "unknown file format '.xlsx'"),
    ("missing.csv", None, [], "no such file"),
    ("data.parquet", WRITERS, ["--columns", "x,zz"], "no column named 'zz'; the columns are: x, s"),
    ("data.csv", WRITERS, ["--columns", "zz"], "no column named 'zz'; the columns are: x, s"),
    ("x.csv", os.mkfifo, [], "x.csv is a FIFO, not a regular file"),
    ("x.csv", lambda path: os.symlink(os.devnull, path), [], "x.csv is a character device, not a regular file"),
])
def test_cli_bad_file_is_one_line_and_status_1(tmp_path, name, make, args, message):
    if make is WRITERS:
        WRITERS[name](TABLE, str(tmp_path / name))
    elif make is not None:
        make(tmp_path / name)
    result = run(tmp_path / name, *args)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and message in result.stderr
    assert result.stderr.startswith("tessary: error: ")


@pytest.mark.parametrize("args", [[], ["--json"]])
def test_cli_ends_quietly_when_its_reader_stops_early(tmp_path, args):
    path = tmp_path / "wide.parquet"
    pyarrow.parquet.write_table(pa.table({f"c{i}": np.arange(300.0) for i in range(200)}), path)
    child = subprocess.Popen([sys.executable, "-m", "tessary", *[path] * 8, *args],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=child_environment())
    child.stdout.read(1)  # far more than a pipe holds is still to come
    child.stdout.close()
    assert child.wait(timeout=300) == 141 and child.stderr.read() == b""


@pytest.mark.parametrize("name", ["data.csv", "data.csv.gz", "data.jsonl"])
def test_text_files_report_progress_in_bytes(tmp_path, monkeypatch, name):
    monkeypatch.setattr(tessary._inputs, "TEXT_BLOCK", 4096)
    path = tmp_path / name
    WRITERS[name](TABLE, str(path))
    seen = []
    profiler = tessary.Profiler()
    profiler._progress = lambda done, total: seen.append((done, total))
    profiler.update(path)
    assert len(seen) > 2 and seen == sorted(seen) and seen[-1] == (path.stat().st_size,) * 2


HOSTILE = ["\x1b]0;TITLE\x07\x1b[31m", "\x9b2J\x85", "tab\there\u202e", "café"]
RAW = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u202e]")  # controls but the newline


def strict_json(text):
    return json.loads(text, parse_constant=lambda word: pytest.fail(f"not strict JSON: {word}"))


def test_control_characters_are_escaped_and_json_is_strict(tmp_path):
    # Columns named by hostile text, each holding it twice (its top value); and figures
    # beyond the largest double (inf).
    table = pa.table({**{name: [name, name, "x"] for name in HOSTILE},
                      "big": [1.7e308, -1.7e308, 1.7e308]})
    path = tmp_path / "hostile.parquet"
    pyarrow.parquet.write_table(table, path)
    profile = tessary.profile(path)
    shown = [repr(profile), profile._repr_html_(), run(path).stdout,
             run(tmp_path / (HOSTILE[0] + ".csv")).stderr]
    assert all(not RAW.search(out) and r"\x1b]0;TITLE\x07" in out for out in shown)
    assert all(r"\x9b2J\x85" in out and r"tab\there\u202e" in out and "café" in out
               for out in shown[:3])
    assert shown[-1].count("\n") == 1 and "no such file" in shown[-1]
    data = strict_json(run(path, "--json").stdout)["columns"]
    assert list(data) == table.column_names
    assert (data["big"]["std"], data["big"]["variance"]) == ("Infinity", "Infinity")
    assert [data[name]["top"] for name in HOSTILE] == [[[name, 2]] for name in HOSTILE]


@pytest.mark.skipif("LD_PRELOAD" in os.environ, reason="a type check: nothing to sanitize")
def test_stubs_match_the_runtime():
    pytest.importorskip("mypy")
    allowlist = Path(__file__).with_name("stubtest_allowlist.txt")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tessary",
                             "--allowlist", str(allowlist)],
                            capture_output=True, text=True, env=child_environment())
    assert result.returncode == 0, result.stdout + result.stderr
