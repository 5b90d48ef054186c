"""Command line: python -m tessary [FILE ...] [--json] [--html OUT] [--columns NAMES],
and python -m tessary compare REF CUR [--json] [--html OUT.html].

Without FILE it profiles a generated demo table. Each FILE is read batch by
batch and its report printed as soon as it is made: a table (with rich when it
is installed), or with --json one line of JSON per file. A file that fails
gives one line on stderr and the others are still profiled; the exit status is
then 1. With --html the reports of all files, one section each, are written to
one HTML page once every file is read, instead of the tables. Names and values
from the data reach the terminal with their control characters escaped.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from collections.abc import Sequence
from typing import Any, NoReturn

import tessary
from tessary import _compare, _html, _inputs, _report

# A progress bar appears once reading a file has taken this long.
PROGRESS_AFTER_SECONDS = 1.0


def demo_table() -> Any:
    """A generated table of 200,000 rows with one column of each kind."""
    pa = _inputs.require("pyarrow", "the demo")
    import random

    rng = random.Random(2026)
    n = 200_000
    prices = [rng.lognormvariate(3.0, 0.5) for _ in range(n)]
    prices[17] = float("nan")
    return pa.table({
        "price": pa.array(prices),
        "quantity": pa.array([rng.randint(1, 20) if rng.random() > 0.1 else None
                              for _ in range(n)], pa.int32()),
        "colour": pa.array([rng.choice(["red", "green", "blue", "cyan", "magenta"])
                            for _ in range(n)]).dictionary_encode(),
        "customer": pa.array([f"c{int(rng.paretovariate(1.2)) % 50_000:05d}" for _ in range(n)]),
        "in_stock": pa.array([rng.random() < 0.8 for _ in range(n)]),
        "ordered_at": pa.array([1_767_225_600_000_000 + rng.randrange(86_400_000_000 * 90)
                                for _ in range(n)], pa.timestamp("us", tz="UTC")),
        "tags": pa.array([["new"] if rng.random() < 0.5 else [] for _ in range(n)]),
    })


class _Progress:
    """A rich progress bar on a terminal, shown only once reading is slow. It counts
    rows, or the bytes read of a CSV or JSON file, whose rows are not known ahead."""

    def __init__(self, label: str) -> None:
        self.label = label
        self.started = time.monotonic()
        self.bar: Any = None
        self.task: Any = None

    def __call__(self, done: int, total: int | None) -> None:
        if self.bar is None:
            if time.monotonic() - self.started < PROGRESS_AFTER_SECONDS or not sys.stderr.isatty():
                return
            try:
                from rich.progress import Progress
            except ImportError:
                return
            from rich.console import Console
            from rich.markup import escape

            # On stderr, so that the report can be redirected with the bar still in sight.
            self.bar = Progress(console=Console(stderr=True), transient=True)
            self.bar.start()
            self.task = self.bar.add_task(escape(self.label), total=total)
        self.bar.update(self.task, completed=done)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.stop()


def _pipe_closed() -> NoReturn:
    raise BrokenPipeError


def _show(profile: tessary.Profile) -> None:
    try:
        from rich.console import Console
    except ImportError:
        print(repr(profile))
        return
    # On a terminal the tables fit its width; elsewhere lines are not wrapped.
    console = Console() if sys.stdout.isatty() else Console(width=160)
    console.on_broken_pipe = _pipe_closed  # type: ignore[method-assign]  # as for JSON
    for part in _report.rich_tables(profile._plain(), console.width):
        console.print(part)


def _profile_file(path: str, columns: list[str] | None) -> tessary.Profile:
    profiler = tessary.Profiler(columns=columns)
    progress = _Progress(f"Profiling {_report.printable(path)}")
    profiler._progress = progress
    try:
        profiler.update(path)
    finally:
        progress.close()
    return profiler.profile()


def _strict(value: Any) -> Any:
    """`value` with each non-finite float written as the string "NaN", "Infinity" or
    "-Infinity", which strict JSON has no numbers for."""
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else "Infinity" if value > 0 else "-Infinity"
    if isinstance(value, dict):
        return {key: _strict(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_strict(item) for item in value]
    return value


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # the message quotes the arguments
        super().error(_report.printable(message))


# Exit statuses of `compare`, as diff has them.
COMPARE_SAME, COMPARE_CHANGED, COMPARE_ERROR = 0, 1, 2


def _load(path: str) -> tessary.Profile:
    """A saved Profiler's profile (Profiler.to_bytes in a file), or the file profiled."""
    from tessary import _saved

    with open(path, "rb") as file:
        saved = file.read(len(_saved.MAGIC)) == _saved.MAGIC
    if saved:
        with open(path, "rb") as file:
            return tessary.Profiler.from_bytes(file.read()).profile()
    return _profile_file(path, None)


def compare_main(argv: Sequence[str]) -> int:
    """`compare REF CUR`: exit status 0 when every column is the same, 1 when one
    drifts (or was added, removed or changed kind), 2 on an error."""
    parser = _Parser(
        prog="python -m tessary compare",
        description="Compare two data files (or saved Profilers) column by column. Exit status: "
                    f"{COMPARE_SAME} when no column changed, {COMPARE_CHANGED} when a column "
                    f"drifts or was added, removed or changed kind, {COMPARE_ERROR} on an error.")
    parser.add_argument("reference", metavar="REF", help="the reference file")
    parser.add_argument("current", metavar="CUR", help="the current file")
    parser.add_argument("--json", action="store_true",
                        help="print the comparison as one line of strict JSON")
    parser.add_argument("--html", metavar="OUT.html", help="also write the comparison as HTML")
    parser.add_argument("--columns", action="append", metavar="NAMES",
                        help="comma-separated column names to compare (repeatable)")
    parser.add_argument("--alpha", type=float, default=_compare.ALPHA,
                        help="the verdict's significance level (default %(default)s)")
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit:
        return COMPARE_ERROR if exit.code else COMPARE_SAME
    columns = None
    if args.columns:
        columns = [name.strip() for group in args.columns for name in group.split(",")
                   if name.strip()]
    try:
        comparison = tessary.compare(_load(args.reference), _load(args.current),
                                     columns=columns, alpha=args.alpha)
        if args.html:
            with open(args.html, "w", encoding="utf-8") as out:
                out.write(comparison.to_html())
    except KeyboardInterrupt:
        print("tessary: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # one line, never a traceback
        message = " ".join(str(error).split()) or type(error).__name__
        print(_report.printable(f"tessary: error: {message}"), file=sys.stderr)
        return COMPARE_ERROR
    if args.json:
        print(json.dumps(_strict(comparison.to_dict()), allow_nan=False))
    else:
        print("\n".join(_report.printable(line) for line in repr(comparison).splitlines()))
    return COMPARE_CHANGED if comparison.drifted else COMPARE_SAME


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["compare"]:
        return compare_main(argv[1:])
    parser = _Parser(
        prog="python -m tessary",
        description="Profile data files (CSV, TSV, Parquet, Arrow IPC/Feather, JSON lines, .npy) "
                    "or directories of them. "
                    "Without FILE, profile a generated demo table.")
    parser.add_argument("files", nargs="*", metavar="FILE", help="files to profile")
    parser.add_argument("--json", action="store_true",
                        help='print one line of strict JSON per file, as each file is done: '
                             '{"path": FILE, "rows": ..., "columns": {...}} (the path is null '
                             'for the demo table); figures that are not finite are written as '
                             'the strings "NaN", "Infinity" and "-Infinity"')
    parser.add_argument("--html", metavar="OUT",
                        help="write the report as one self-contained HTML page to OUT (one "
                             "section per file) instead of printing tables")
    parser.add_argument("--columns", action="append", metavar="NAMES",
                        help="comma-separated column names to profile (repeatable)")
    args = parser.parse_args(argv)
    columns = None
    if args.columns:
        columns = [name.strip() for group in args.columns for name in group.split(",")
                   if name.strip()]
    if not args.files and not args.json and not args.html:
        print(f"tessary {tessary.__version__}: a generated demo table (python -m tessary FILE "
              "profiles a file)")
    status = 0
    sections: list[tuple[str, dict[str, Any]]] = []
    for path in args.files or [None]:
        try:
            if path is not None:
                profile = _profile_file(path, columns)
            else:
                profile = tessary.profile(demo_table(), columns=columns)
        except KeyboardInterrupt:
            print("tessary: interrupted", file=sys.stderr)
            return 130
        except Exception as error:  # every failure is one line, never a traceback
            message = " ".join(str(error).split()) or type(error).__name__
            sys.stdout.flush()  # the reports before it come first
            print(_report.printable(f"tessary: error: {path or '(demo)'}: {message}"),
                  file=sys.stderr)
            status = 1
            continue
        if args.html:
            sections.append((path if path is not None else "demo table", profile._plain()))
        if args.json:
            print(json.dumps({"path": path, **_strict(profile._plain())}, allow_nan=False))
        elif not args.html:
            if path is not None:
                print(_report.printable(path))
            _show(profile)
        sys.stdout.flush()
    if args.html and sections:
        try:
            with open(args.html, "w", encoding="utf-8") as out:
                out.write(_html.document(sections))
        except OSError as error:
            print(_report.printable(f"tessary: error: {args.html}: {error.strerror or error}"),
                  file=sys.stderr)
            return 1
    return status


def entry_point() -> None:
    """The `tessary` console command."""
    try:
        status = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader of the output has gone, as `| head` does: end quietly, with the status
        # of a command ended by SIGPIPE (128 + 13). Output still buffered goes nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 141
    sys.exit(status)


if __name__ == "__main__":
    entry_point()
