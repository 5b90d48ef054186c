#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the C++ core
# tests through CTest, then the pytest suite against the installed package.
# Everything runs in a virtual environment: the active one, or .venv in the
# source tree (created here), so that an externally managed system Python is
# never installed into. Each long step is announced on stderr.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "tessary: $*" >&2; }
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
apt_install() {
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "$@" >/dev/null
}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  say "installing GoogleTest (libgtest-dev) with apt-get..."
  apt_install libgtest-dev
fi
# The browser tests of the HTML report drive Debian's Chromium through Playwright
# (installed with the test extra below); where apt-get cannot install it they skip.
if ! command -v chromium >/dev/null && ! command -v chromium-browser >/dev/null; then
  say "installing Chromium (chromium) with apt-get, for the browser tests..."
  apt_install chromium || say "Chromium could not be installed: the browser tests will skip"
fi

python=$(bash scripts/venv.sh)
say "building tessary and installing it with the test dependencies into" \
    "$(dirname "$(dirname "$python")") (a minute or two the first time)..."
"$python" -m pip install -q ".[test]"
if ! command -v cmake >/dev/null; then
  say "installing CMake with pip..."
  "$python" -m pip install -q cmake
fi
export PATH="$(dirname "$python"):$PATH"

say "building the C++ core tests..."
cmake -S . -B build/core-tests -DTESSARY_BUILD_MODULE=OFF -DTESSARY_BUILD_TESTS=ON >/dev/null
cmake --build build/core-tests --parallel 2
ctest --test-dir build/core-tests --output-on-failure

# Run from the tests folder so that the installed package, not the source
# tree, is imported.
say "running the pytest suite..."
cd tests && "$python" -m pytest -q "$@"
