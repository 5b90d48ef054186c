#!/usr/bin/env bash
# Builds the core tests and the module with AddressSanitizer (with leak
# detection) and UndefinedBehaviorSanitizer, then runs the core tests and the
# whole pytest suite against that module. Run scripts/test.sh first: it
# installs what the tests need.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build/sanitize"
# The interpreter of the environment that scripts/test.sh installed into.
python=$(bash scripts/venv.sh)
export PATH="$(dirname "$python"):$PATH"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARY_SANITIZE=ON \
  -DTESSARY_BUILD_TESTS=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" --parallel 2

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Full unwinding: the interpreter has no frame pointers, and suppressions
# must see the whole allocation stack.
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:detect_odr_violation=0"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
ctest --test-dir "$build" --output-on-failure

# The package as pytest imports it: the pure-Python files beside the
# instrumented module.
stage="$build/stage"
rm -rf "$stage" && mkdir -p "$stage/tessary"
cp python/tessary/*.py python/tessary/*.pyi python/tessary/py.typed "$stage/tessary/"
cp "$build"/tessary-py/_native*.so "$stage/tessary/"

runtime="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
cd tests
LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONPATH="$stage" \
  "$python" -c "import tessary._native as n; assert n.__file__.startswith('$stage'), n.__file__"
LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONPATH="$stage" \
  "$python" -m pytest -q -p no:cacheprovider -m "not spark" "$@"
