#!/usr/bin/env bash
# Sets up everything the tests need, then runs every test:
#   1. Debian packages: GoogleTest (C++ tests) and PostgreSQL (SQL proof);
#   2. a fresh virtual environment with the module installed from this tree
#      (`pip install .`) and the Python test packages;
#   3. the C++ unit tests under CTest, built plain and then with
#      AddressSanitizer + UndefinedBehaviorSanitizer (any report fails);
#   4. pytest over the installed module, with the PostgreSQL tests required.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${LUMO_JOBS:-2}

step() { printf '\n==> %s\n' "$*"; }

step "system packages"
missing=()
for pkg in libgtest-dev postgresql; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "already installed: libgtest-dev postgresql"
fi

step "python environment"
venv="$root/.venv-test"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q cmake ninja
"$venv/bin/python" -m pip install -q ".[test]"
export PATH="$venv/bin:$PATH"

run_ctest() {
  local name=$1
  shift
  step "C++ tests ($name)"
  cmake -S . -B "build/ctest-$name" -G Ninja -DLUMO_BUILD_MODULE=OFF -DLUMO_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "build/ctest-$name" -j "$jobs"
  ctest --test-dir "build/ctest-$name" --output-on-failure -j "$jobs"
}

run_ctest plain -DCMAKE_BUILD_TYPE=Release
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_ctest sanitized -DLUMO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

step "Python tests"
cd "$root/tests/python"
LUMO_REQUIRE_POSTGRES=1 python -m pytest -q -p no:cacheprovider .
