#!/usr/bin/env bash
# Builds the core for other platforms and runs what can run here:
#   aarch64  AArch64 Linux: the C++ unit tests, built with Debian's
#            g++-aarch64-linux-gnu, run under qemu-user;
#   windows  Windows x86-64: the C++ unit tests, built with Debian's
#            mingw-w64 (posix threads, linked statically), run under wine;
#   macos    macOS x86-64 and arm64: the core and the Python module compiled
#            with `zig c++` (PyPI's ziglang) and the module linked with
#            `-undefined dynamic_lookup`; nothing runs (no macOS here).
#            With --compile-only the module is not linked: the first link
#            builds zig's libc++ for the target, minutes of CPU that the
#            test command leaves to scripts/build-wheels.sh; and compiled
#            unoptimised, which checks the same in half the time.
# GoogleTest for the two test builds is built from Debian's googletest
# sources (/usr/src/googletest) with the cross compiler. Everything goes to
# build/cross/. The script installs what it needs (Debian packages, and
# cmake, ninja and ziglang in build/cross/venv) and prints each part's time.
#
# Under emulation the tests run once each in a few processes per test
# program, one per shard (not one process per test, as CTest does: wine
# takes a second to start).
# The tests with inputs of a million subjects or levels read LUMO_TEST_SCALE
# and take a tenth of that there (tests/cpp/test_scale.h); every other test
# runs as it does natively.
#
#   scripts/cross-test.sh [--compile-only] [aarch64|windows|macos]...
#   (default: all three)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${LUMO_JOBS:-2}
out="$root/build/cross"

link_macos=1
parts=()
for arg in "$@"; do
  case "$arg" in
    --compile-only) link_macos=0 ;;
    aarch64 | windows | macos) parts+=("$arg") ;;
    *)
      echo "usage: $0 [--compile-only] [aarch64|windows|macos]..." >&2
      exit 2
      ;;
  esac
done
((${#parts[@]})) || parts=(aarch64 windows macos)

step() { printf '\n==> %s\n' "$*"; }

step "cross toolchains (Debian packages)"
packages=(googletest)
for part in "${parts[@]}"; do
  case "$part" in
    aarch64) packages+=(g++-aarch64-linux-gnu qemu-user) ;;
    windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64) ;;
  esac
done
missing=()
for pkg in "${packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  echo "installed: ${missing[*]}"
else
  echo "already installed: ${packages[*]}"
fi

step "cmake, ninja and ziglang (build/cross/venv)"
venv="$out/venv"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q cmake ninja ziglang
export PATH="$venv/bin:$PATH"
cmake --version | head -n 1

# GoogleTest from Debian's sources, built and installed with the toolchain
# given as CMake arguments; prints the directory of its package files.
build_gtest() {
  local name=$1
  shift
  local dir="$out/$name"
  cmake -S /usr/src/googletest -B "$dir/gtest-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$dir/gtest" "$@" >/dev/null
  cmake --build "$dir/gtest-build" -j "$jobs" >/dev/null
  cmake --install "$dir/gtest-build" >/dev/null
  echo "$dir/gtest/lib/cmake/GTest"
}

# The two C++ test programs built with the toolchain given as CMake
# arguments. Tests are not listed at build time (that would run the
# programs); they run below, a few shards per program.
build_tests() {
  local name=$1 gtest_dir=$2
  shift 2
  cmake -S . -B "$out/$name/lumo" -G Ninja -DLUMO_BUILD_MODULE=OFF -DLUMO_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=Release -DGTest_DIR="$gtest_dir" \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST "$@" >/dev/null
  cmake --build "$out/$name/lumo" -j "$jobs" --target lumo_tests lumo_audit_tests
}

# Runs one test program under an emulator, split into $jobs shards that run
# side by side (an emulated process keeps one core busy): each shard's last
# lines, and a failure when any test failed or a shard ran none.
run_tests() {
  local log=$1
  shift
  local shard pids=() status=0
  for ((shard = 0; shard < jobs; shard++)); do
    LUMO_TEST_SCALE=emulated GTEST_TOTAL_SHARDS=$jobs GTEST_SHARD_INDEX=$shard \
      "$@" >"$log.$shard" 2>&1 &
    pids+=($!)
  done
  for ((shard = 0; shard < jobs; shard++)); do
    local code=0
    wait "${pids[$shard]}" || code=$?
    grep -E '^\[  (FAILED|PASSED|SKIPPED) |^\[==========\] [0-9]+ tests? from .* ran' "$log.$shard" || true
    if ((code != 0)) || ! grep -q '^\[  PASSED  \] [1-9]' "$log.$shard"; then
      tail -n 40 "$log.$shard"
      echo "shard $shard failed (exit $code; whole log: $log.$shard)"
      status=1
    fi
  done
  return $status
}

timed() {
  local start=$SECONDS
  "$@"
  echo "($1: $((SECONDS - start)) s)"
}

part_aarch64() {
  step "AArch64 Linux: C++ tests (g++-aarch64-linux-gnu, qemu-aarch64)"
  local toolchain=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64
    -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc)
  local gtest_dir
  gtest_dir=$(build_gtest aarch64 "${toolchain[@]}")
  build_tests aarch64 "$gtest_dir" "${toolchain[@]}"
  local emulator=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
  for program in lumo_tests lumo_audit_tests; do
    echo "$program:"
    run_tests "$out/aarch64/$program.log" "${emulator[@]}" "$out/aarch64/lumo/$program"
  done
}

part_windows() {
  step "Windows x86-64: C++ tests (mingw-w64 posix threads, wine)"
  # Linked statically, so that wine needs no DLLs of the toolchain.
  local toolchain=(-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=AMD64
    -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix
    -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix
    -DCMAKE_RC_COMPILER=x86_64-w64-mingw32-windres
    -DCMAKE_EXE_LINKER_FLAGS=-static)
  local gtest_dir
  gtest_dir=$(build_gtest windows "${toolchain[@]}" -Dgtest_disable_pthreads=ON)
  build_tests windows "$gtest_dir" "${toolchain[@]}"
  # A wine prefix of our own, made on first use; no window, no messages.
  export WINEPREFIX="$out/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [ -d "$WINEPREFIX" ] || wineboot --init >/dev/null 2>&1 || true
  for program in lumo_tests lumo_audit_tests; do
    echo "$program:"
    run_tests "$out/windows/$program.log" wine "$out/windows/lumo/$program.exe"
  done
}

# The sources of the core, as CMakeLists.txt lists them.
core_sources() {
  sed -n '/^set(CORE_SOURCES/,/)/p' CMakeLists.txt | grep -o 'src/[A-Za-z0-9_/]*\.cpp'
}

part_macos() {
  local py_include version
  py_include=$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  # The module's __version__, which CMake takes from pyproject.toml too.
  version=$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml | head -n 1)
  for target in x86_64-macos aarch64-macos; do
    step "macOS $target: core and module compiled, module linked unless --compile-only (zig c++; not run)"
    local dir="$out/$target"
    rm -rf "$dir"
    mkdir -p "$dir"
    # Unoptimised when nothing is linked: the same checks in half the time.
    local opt=-O2
    ((link_macos)) || opt=-O0
    local flags=(-target "$target" -std=c++20 "$opt" -Wall -Wextra -Werror -fvisibility=hidden
      -fvisibility-inlines-hidden -fPIC -Isrc)
    # One object per source, two compilers at a time (xargs puts each
    # "source kind" line after the arguments given here).
    {
      core_sources | sed 's/$/ core/'
      for src in src/module/*.cpp; do echo "$src module"; done
    } | xargs -P "$jobs" -L 1 bash -c '
      dir=$1 py_include=$2 version=$3; shift 3
      src=${*: -2:1} kind=${*: -1}
      flags=("${@:1:$#-2}")
      extra=()
      [ "$kind" = module ] && extra=(-isystem "$py_include" -DPy_LIMITED_API=0x03090000
        "-DLUMO_VERSION=\"$version\"")
      python -m ziglang c++ "${flags[@]}" "${extra[@]}" -c "$src" -o "$dir/$(echo "$src" | tr / _).o"
    ' compile "$dir" "$py_include" "$version" "${flags[@]}"
    local count
    count=$(find "$dir" -name '*.o' | wc -l)
    if ((!link_macos)); then
      echo "$count objects compiled (not linked: --compile-only)"
      continue
    fi
    python -m ziglang c++ -target "$target" -shared -undefined dynamic_lookup \
      -o "$dir/_lumo_query.abi3.so" "$dir"/*.o
    python3 - "$dir/_lumo_query.abi3.so" "$target" "$count" <<'EOF'
import struct, sys
path, target, count = sys.argv[1], sys.argv[2], sys.argv[3]
with open(path, "rb") as f:
    magic, cputype, _, filetype = struct.unpack("<IiiI", f.read(16))
want = {"x86_64-macos": 0x01000007, "aarch64-macos": 0x0100000C}[target]
if magic != 0xFEEDFACF or cputype != want or filetype != 8:  # MH_MAGIC_64, MH_BUNDLE
    if not (magic == 0xFEEDFACF and cputype == want and filetype == 6):  # MH_DYLIB
        sys.exit(f"{path}: not a 64-bit Mach-O library for {target} "
                 f"(magic {magic:#x}, cpu {cputype:#x}, type {filetype})")
print(f"{count} objects compiled; {path}: Mach-O 64-bit, file type {filetype}, cpu {cputype:#x}")
EOF
  done
}

total=$SECONDS
for part in "${parts[@]}"; do
  timed "part_$part"
done
echo "(cross builds and tests: $((SECONDS - total)) s)"
