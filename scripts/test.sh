#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the C++ core
# tests through CTest, then the pytest suite against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/gtest/gtest.h ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq libgtest-dev >/dev/null
fi

python3 -m pip install -q ".[test]"
command -v cmake >/dev/null || python3 -m pip install -q cmake

cmake -S . -B build/core-tests -DTESSARY_BUILD_MODULE=OFF -DTESSARY_BUILD_TESTS=ON >/dev/null
cmake --build build/core-tests --parallel 2
ctest --test-dir build/core-tests --output-on-failure

# Run from the tests folder so that the installed package, not the source
# tree, is imported.
cd tests && python3 -m pytest -q "$@"
