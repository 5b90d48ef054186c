"""Command line: python -m tessary [FILE ...] [--json] [--columns NAMES].

Without FILE it profiles a generated demo table. Each FILE is read batch by
batch and its report printed as a table (with rich when it is installed), or
as JSON with --json. Any failure prints one line and exits with status 1.
Names and values from the data reach the terminal with their control
characters escaped.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
from collections.abc import Sequence
from typing import Any, NoReturn

import tessary
from tessary import _inputs, _report

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
    """A rich progress bar on a terminal, shown only once reading is slow."""

    def __init__(self, label: str) -> None:
        self.label = label
        self.started = time.monotonic()
        self.done = 0
        self.bar: Any = None
        self.task: Any = None

    def __call__(self, rows: int, total: int | None) -> None:
        self.done += rows
        if self.bar is None:
            if time.monotonic() - self.started < PROGRESS_AFTER_SECONDS or not sys.stderr.isatty():
                return
            try:
                from rich.progress import Progress
            except ImportError:
                return
            from rich.markup import escape

            self.bar = Progress(transient=True)
            self.bar.start()
            self.task = self.bar.add_task(escape(self.label), total=total)
        self.bar.update(self.task, completed=self.done)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.stop()


def _show(profile: tessary.Profile) -> None:
    try:
        from rich.console import Console
    except ImportError:
        print(repr(profile))
        return
    # On a terminal the tables fit its width; elsewhere lines are not wrapped.
    console = Console() if sys.stdout.isatty() else Console(width=160)
    for part in _report.rich_tables(profile.to_dict(), console.width):
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


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = _Parser(
        prog="python -m tessary",
        description="Profile data files (CSV, TSV, Parquet, Arrow IPC/Feather, JSON lines, .npy). "
                    "Without FILE, profile a generated demo table.")
    parser.add_argument("files", nargs="*", metavar="FILE", help="files to profile")
    parser.add_argument("--json", action="store_true",
                        help='print the profile as strict JSON; figures that are not finite are '
                             'written as the strings "NaN", "Infinity" and "-Infinity"')
    parser.add_argument("--columns", action="append", metavar="NAMES",
                        help="comma-separated column names to profile (repeatable)")
    args = parser.parse_args(argv)
    columns = None
    if args.columns:
        columns = [name.strip() for group in args.columns for name in group.split(",")
                   if name.strip()]
    results: dict[str, tessary.Profile] = {}
    for path in args.files or ["(demo)"]:
        try:
            if args.files:
                results[path] = _profile_file(path, columns)
            else:
                results[path] = tessary.profile(demo_table(), columns=columns)
        except KeyboardInterrupt:
            print("tessary: interrupted", file=sys.stderr)
            return 130
        except Exception as error:  # every failure is one line, never a traceback
            message = " ".join(str(error).split()) or type(error).__name__
            print(_report.printable(f"tessary: error: {path}: {message}"), file=sys.stderr)
            return 1
    if args.json:
        data = {path: _strict(p.to_dict()) for path, p in results.items()}
        print(json.dumps(data[next(iter(data))] if len(data) == 1 else data, indent=2,
                         allow_nan=False))
        return 0
    if not args.files:
        print(f"tessary {tessary.__version__}: a generated demo table (python -m tessary FILE "
              "profiles a file)")
    for path, profile in results.items():
        if args.files:
            print(_report.printable(path))
        _show(profile)
    return 0


def entry_point() -> None:
    """The `tessary` console command."""
    sys.exit(main())


if __name__ == "__main__":
    entry_point()
