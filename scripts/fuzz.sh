#!/usr/bin/env bash
# Runs one fuzz harness of tests/fuzz against the installed package for as
# long as one likes. NAME is the harness file's name (fuzz_float64_intake,
# fuzz_string_kernels, ...); the other arguments go to libFuzzer, for example
# -runs=1000000, -max_total_time=3600 or a crashing input to replay. The
# corpus is kept in build/fuzz/NAME/corpus, so a later run resumes from it;
# inputs that fail a check are written to build/fuzz/NAME/.
set -euo pipefail
cd "$(dirname "$0")/.."
name="${1:?usage: scripts/fuzz.sh NAME [libFuzzer options]}"
shift
name="$(basename "${name%.py}")"
harness="tests/fuzz/$name.py"
[ -f "$harness" ] || { echo "no harness $harness" >&2; exit 2; }
out="build/fuzz/$name"
mkdir -p "$out/corpus"
python=$(bash scripts/venv.sh)
# A file argument replays that input instead of fuzzing the corpus.
for argument in "$@"; do
  [ -f "$argument" ] && exec "$python" "$harness" "$@"
done
exec "$python" "$harness" -artifact_prefix="$out/" "$@" "$out/corpus"
