#!/usr/bin/env bash
# Sets up everything the tests need, then runs every test:
#   1. Debian packages: GoogleTest (C++ tests) and PostgreSQL (SQL proof);
#   2. a fresh virtual environment with the module installed from this tree
#      (`pip install .`) and the Python test packages;
#   3. a check that src/syntax/unicode_tables.cpp is what
#      tools/gen_unicode_tables.py makes of the committed Unicode data;
#      the C++ unit tests under CTest, built plain and then with
#      AddressSanitizer + UndefinedBehaviorSanitizer (any report fails; at
#      -O1 with line tables only, which compiles in under half the time of
#      -O2 -g and still names every frame of a report);
#   4. the C++ unit tests again, built with clang and with every fast path
#      off (LUMO_PORTABLE=ON: the plain ways of other platforms);
#   5. scripts/cross-test.sh: the C++ unit tests built for AArch64 Linux and
#      run under qemu, built for Windows x86-64 and run under wine, and the
#      core and the module compiled (not linked) for macOS x86-64 and arm64;
#   6. the libFuzzer target (clang, both sanitizers) over the regression
#      inputs and the seed corpus, then fuzzing for 60 s (any crash, leak,
#      sanitizer report or input slower than 1 s fails);
#   7. pytest over the installed module, with the PostgreSQL tests required,
#      and then over the module and the extension built with
#      LUMO_PORTABLE=ON.
# Before pytest the user guide is built with `mkdocs build --strict` (any
# warning fails) and opened in headless Chromium at 1280 px with no network
# (scripts/check_guide.py: no horizontal scrolling, diagrams loaded, nothing
# from elsewhere); pytest then runs its examples too (tests/python/test_docs.py).
#
# `scripts/test.sh --quick` is the developer's loop: no system packages, no
# sanitized or clang build, no fuzzing, no user guide, no system-wide install.
# It builds and runs the plain C++ tests (build/ctest-plain, rebuilt
# incrementally), installs the module from this tree into .venv (made when
# absent, reused when present: `pip install '.[test]'`) and runs pytest there.
# PostgreSQL tests run only where they already can: test_postgres.py when a
# server's binaries are installed, test_pg_extension.py when the server also
# has the extension, which --quick does not rebuild (after changing the core
# or src/postgres, run scripts/install-postgres-extension.sh first); the rest
# are skipped.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${LUMO_JOBS:-2}

quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *)
    echo "usage: $0 [--quick]" >&2
    exit 2
    ;;
esac

step() { printf '\n==> %s\n' "$*"; }

run_ctest() {
  local name=$1
  shift
  step "C++ tests ($name)"
  cmake -S . -B "build/ctest-$name" -G Ninja -DLUMO_BUILD_MODULE=OFF -DLUMO_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "build/ctest-$name" -j "$jobs"
  ctest --test-dir "build/ctest-$name" --output-on-failure -j "$jobs"
}

if ((quick)); then
  step "python environment (.venv, reused when present)"
  venv="$root/.venv"
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  export PATH="$venv/bin:$PATH"
  # cmake >= 3.26 and ninja from PATH, or else in the environment.
  if ! command -v ninja >/dev/null 2>&1 || ! command -v cmake >/dev/null 2>&1 ||
     ! cmake -P /dev/stdin <<<'if(CMAKE_VERSION VERSION_LESS 3.26)
message(FATAL_ERROR old)
endif()' >/dev/null 2>&1; then
    python -m pip install -q cmake ninja
  fi

  run_ctest plain -DCMAKE_BUILD_TYPE=Release

  step "module from this tree, and the Python test packages"
  python -m pip install -q ".[test]"

  step "Python tests"
  cd "$root/tests/python"
  python -m pytest -q -p no:cacheprovider -rs .
  exit 0
fi

step "system packages"
missing=()
for pkg in libgtest-dev postgresql clang libclang-rt-14-dev chromium; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "already installed: libgtest-dev postgresql clang libclang-rt-14-dev chromium"
fi

step "python environment"
venv="$root/.venv-test"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q cmake ninja
"$venv/bin/python" -m pip install -q ".[test,docs]"
export PATH="$venv/bin:$PATH"

step "generated Unicode tables match data/unicode"
python tools/gen_unicode_tables.py --check

run_ctest plain -DCMAKE_BUILD_TYPE=Release
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_ctest sanitized -DLUMO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
run_ctest clang-portable -DCMAKE_CXX_COMPILER=clang++ -DLUMO_PORTABLE=ON \
  -DCMAKE_BUILD_TYPE=Release

step "cross builds (AArch64 under qemu, Windows under wine, macOS compiled)"
bash "$root/scripts/cross-test.sh" --compile-only

# The fuzz target runs on a copy of the seed corpus, so the committed one
# stays as it is; an input that fails is left in build/test-fuzz/artifacts/
# and belongs in tests/fuzz/regressions/.
fuzz="build/test-fuzz"
run_fuzz() {
  local log="$fuzz/$1.log"
  shift
  if ! UBSAN_OPTIONS=print_stacktrace=1 "$fuzz/lumo_fuzz" -timeout=1 -rss_limit_mb=2048 \
      -max_len=4096 -artifact_prefix="$fuzz/artifacts/" "$@" >"$log" 2>&1; then
    grep -v -e '^Running: ' -e '^Executed ' "$log" | tail -n 60
    echo "fuzz target failed (whole log: $log); failing input: $(ls "$fuzz/artifacts")"
    return 1
  fi
  grep -v -e '^Running: ' -e '^Executed ' "$log" | tail -n 4
}

step "fuzz target (clang, libFuzzer, address + undefined-behaviour sanitizers)"
cmake -S . -B "$fuzz" -G Ninja -DLUMO_BUILD_MODULE=OFF -DLUMO_FUZZ=ON \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$fuzz" -j "$jobs" --target lumo_fuzz
rm -rf "$fuzz/corpus" "$fuzz/artifacts"
cp -r tests/fuzz/corpus "$fuzz/corpus"
mkdir "$fuzz/artifacts"
mapfile -t fuzz_inputs < <(find tests/fuzz/regressions tests/fuzz/corpus -type f | sort)
echo "regression inputs and seed corpus: ${#fuzz_inputs[@]} files"
run_fuzz regressions "${fuzz_inputs[@]}"
echo "fuzzing for 60 s"
run_fuzz fuzzing -max_total_time=60 -print_final_stats=1 -dict=tests/fuzz/lumo.dict \
  "$fuzz/corpus" tests/fuzz/regressions

step "user guide (mkdocs build --strict)"
NO_MKDOCS_2_WARNING=1 mkdocs build --strict

step "user guide in headless Chromium (1280 px, no network)"
python scripts/check_guide.py site

# The PostgreSQL extension, built from this tree and installed into the local
# server (with its headers from Debian), for the tests of test_pg_extension.py.
step "PostgreSQL extension"
bash "$root/scripts/install-postgres-extension.sh"

step "Python tests"
cd "$root/tests/python"
LUMO_REQUIRE_POSTGRES=1 python -m pytest -q -p no:cacheprovider .

# The suite again, over the module and the server-side extension built with
# every fast path off, in the same environment and on the same server. The
# server keeps that build of the extension afterwards; the next full run
# installs the default one again before its first pytest run.
step "Python tests, module and extension built with LUMO_PORTABLE=ON"
cd "$root"
python -m pip install -q --force-reinstall --no-deps -C cmake.define.LUMO_PORTABLE=ON .
bash "$root/scripts/install-postgres-extension.sh" --portable
cd "$root/tests/python"
LUMO_REQUIRE_POSTGRES=1 python -m pytest -q -p no:cacheprovider .
