#!/usr/bin/env bash
# Prints the Python interpreter of the project's virtual environment: the
# active one ($VIRTUAL_ENV), or .venv in the source tree, created on first use.
# Debian and Ubuntu refuse pip installs into their system Python, and their
# python3 may lack the venv module; that package is installed when missing.
# What it does meanwhile is said on stderr; stdout has the path alone.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${VIRTUAL_ENV:-}" ] && [ -x "$VIRTUAL_ENV/bin/python" ]; then
  echo "$VIRTUAL_ENV/bin/python"
  exit 0
fi
if [ ! -x .venv/bin/python ]; then
  echo "tessary: creating the virtual environment .venv..." >&2
  if ! python3 -m venv .venv >/dev/null 2>&1; then
    rm -rf .venv
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    echo "tessary: installing python3-venv with apt-get, which this python3 needs for .venv..." >&2
    $sudo_cmd apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq python3-venv >/dev/null
    python3 -m venv .venv >&2
  fi
fi
echo "$(pwd)/.venv/bin/python"
