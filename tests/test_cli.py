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
    assert json.loads(as_json.stdout) == tessary.profile(path, columns=["x"]).to_dict()
    demo = run()
    assert demo.returncode == 0 and "tessary profile: 200,000 rows" in demo.stdout


@pytest.mark.parametrize(("content", "name", "message"), [
    (b"PAR1garbage", "bad.parquet", "bad.parquet: "),
    (b"", "x.xlsx", "unknown file format '.xlsx'"),
    (None, "missing.csv", "no such file"),
])
def test_cli_bad_file_is_one_line_and_status_1(tmp_path, content, name, message):
    if content is not None:
        (tmp_path / name).write_bytes(content)
    result = run(tmp_path / name)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and message in result.stderr
    assert result.stderr.startswith("tessary: error: ")


HOSTILE = ["\x1b]0;TITLE\x07\x1b[31m", "\x9b2J\x85", "tab\there\u202e", "café"]
RAW = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u202e]")  # controls but the newline


def strict_json(text):
    return json.loads(text, parse_constant=lambda word: pytest.fail(f"not strict JSON: {word}"))


def test_control_characters_are_escaped_and_json_is_strict(tmp_path):
    # Columns named by hostile text, each holding it twice (its top value); and figures
    # that overflow to -inf and NaN.
    table = pa.table({**{name: [name, name, "x"] for name in HOSTILE},
                      "big": [1e308, 1.7e308, -1e308]})
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
    assert (data["big"]["mean"], data["big"]["std"]) == ("-Infinity", "NaN")
    assert [data[name]["top"] for name in HOSTILE] == [[[name, 2]] for name in HOSTILE]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
@pytest.mark.parametrize(("make", "what"), [
    (getattr(os, "mkfifo", None), "a FIFO"),
    (lambda path: os.symlink(os.devnull, path), "a character device"),
])
def test_cli_refuses_what_is_not_a_regular_file(tmp_path, make, what):
    make(tmp_path / "x.csv")  # reading a FIFO would wait for a writer for ever
    result = run(tmp_path / "x.csv")
    assert result.returncode == 1 and result.stderr.count("\n") == 1
    assert f"x.csv is {what}, not a regular file" in result.stderr


@pytest.mark.skipif("LD_PRELOAD" in os.environ, reason="a type check: nothing to sanitize")
def test_stubs_match_the_runtime():
    pytest.importorskip("mypy")
    allowlist = Path(__file__).with_name("stubtest_allowlist.txt")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tessary",
                             "--allowlist", str(allowlist)],
                            capture_output=True, text=True, env=child_environment())
    assert result.returncode == 0, result.stdout + result.stderr
