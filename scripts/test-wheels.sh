#!/usr/bin/env bash
# Tests the Linux wheels that scripts/build-wheels.sh left in dist/:
#
#   * the x86-64 wheel, installed into a fresh virtual environment of each
#     of CPython 3.9, 3.10, 3.11, 3.12 and 3.13 (pyenv's, or pythonX.Y on
#     PATH) with the test packages, runs the Python tests there;
#   * the aarch64 wheel runs them under emulation: in an arm64 Debian
#     (bookworm) root made with debootstrap in build/arm64-root, whose
#     programs the kernel hands to qemu-user-static (binfmt_misc), with
#     that Debian's python3 (3.11).
#
#   scripts/test-wheels.sh              # both
#   scripts/test-wheels.sh x86_64       # only the x86-64 wheel
#   scripts/test-wheels.sh aarch64      # only the aarch64 wheel
#
# LUMO_WHEEL_PYTHONS="3.9 3.13" limits the x86-64 run to those versions.
#
# The tests run from the sdist, unpacked into a temporary folder outside
# this tree, so that the module imported is the installed wheel's (checked
# before pytest starts) and the tests that read docs/, examples/ and src/
# read the sdist's. The PostgreSQL extension's tests (test_pg_extension.py,
# test_pg_types.py, test_sharding.py) are left out: they test the server's
# extension, not the wheel. test_postgres.py runs where a PostgreSQL server's
# binaries are installed and skips elsewhere (it always skips under
# emulation, where the arm64 root has no server).
#
# Installs what it needs: Debian's debootstrap, qemu-user-static and
# binfmt-support for the aarch64 run; the test packages from PyPI.
set -euo pipefail
shopt -s inherit_errexit
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

arches=("$@")
((${#arches[@]})) || arches=(x86_64 aarch64)
for a in "${arches[@]}"; do
  case $a in
    x86_64 | aarch64) ;;
    *)
      echo "usage: $0 [x86_64] [aarch64]" >&2
      exit 2
      ;;
  esac
done

step() { printf '\n==> %s\n' "$*"; }

version=$(python3 -c 'import re; print(re.search(r"(?m)^version = \"(.*)\"", open("pyproject.toml").read())[1])')
sdist="dist/lumo_query-$version.tar.gz"
wheel_for() {
  local found
  found=$(ls dist/lumo_query-"$version"-cp39-abi3-*manylinux_2_17_"$1".whl 2>/dev/null | head -n 1)
  if [ -z "$found" ] || [ ! -f "$sdist" ]; then
    echo "no $1 wheel or sdist in dist/: run scripts/build-wheels.sh first" >&2
    exit 1
  fi
  echo "$root/$found"
}

ignored=(--ignore=test_pg_extension.py --ignore=test_pg_types.py --ignore=test_sharding.py)

# The check that the module comes from the environment's site-packages, not
# from a build or a source folder.
import_check='import lumo_query, sysconfig, os
where = os.path.realpath(lumo_query.__file__)
site = os.path.realpath(sysconfig.get_paths()["platlib"])
assert where.startswith(site + os.sep), (where, site)
print("imports", where)'

work=$(mktemp -d /tmp/lumo-wheel-test.XXXXXX)
cleanup() {
  if mountpoint -q "$root/build/arm64-root/proc" 2>/dev/null; then
    umount "$root/build/arm64-root/proc"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
tar -xzf "$sdist" -C "$work"
src="$work/lumo_query-$version"

find_python() {  # 3.X -> an interpreter of that version
  local p
  for p in /root/.pyenv/versions/"$1".*/bin/python "$(command -v "python$1" || true)"; do
    if [ -x "$p" ] && "$p" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$1'" 2>/dev/null; then
      echo "$p"
      return
    fi
  done
  echo "no CPython $1 (pyenv's /root/.pyenv/versions/$1.* or python$1 on PATH)" >&2
  return 1
}

summaries=()

if [[ " ${arches[*]} " == *" x86_64 "* ]]; then
  wheel=$(wheel_for x86_64)
  for minor in ${LUMO_WHEEL_PYTHONS:-3.9 3.10 3.11 3.12 3.13}; do
    step "x86_64 wheel on CPython $minor"
    start=$SECONDS
    python=$(find_python "$minor")
    venv="$work/venv-$minor"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q "$wheel[test]"
    (cd "$work" && "$venv/bin/python" -c "$import_check")
    log="$work/pytest-$minor.log"
    (cd "$src/tests/python" &&
      "$venv/bin/python" -m pytest -q -p no:cacheprovider -rs "${ignored[@]}" .) | tee "$log"
    summaries+=("x86_64 CPython $("$venv/bin/python" -c 'import platform; print(platform.python_version())'): $(tail -n 1 "$log") ($((SECONDS - start)) s with the install)")
  done
fi

if [[ " ${arches[*]} " == *" aarch64 "* ]]; then
  wheel=$(wheel_for aarch64)
  step "arm64 Debian root (build/arm64-root) and qemu-user-static"
  start=$SECONDS
  missing=()
  for pkg in debootstrap qemu-user-static binfmt-support; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64
  arm="$root/build/arm64-root"
  if [ ! -x "$arm/usr/bin/python3" ] || [ ! -e "$arm/.lumo-ready" ]; then
    rm -rf "$arm"
    debootstrap --arch=arm64 --foreign --variant=minbase \
      --include=python3,python3-venv,python3-pip bookworm "$arm" http://deb.debian.org/debian
    chroot "$arm" /debootstrap/debootstrap --second-stage
    # The second stage leaves /proc and /sys mounted in the root.
    for m in proc sys; do
      if mountpoint -q "$arm/$m"; then umount "$arm/$m"; fi
    done
    touch "$arm/.lumo-ready"
  fi
  cp /etc/resolv.conf "$arm/etc/resolv.conf"
  chroot "$arm" /usr/bin/python3 -c 'import platform, sys; print(platform.machine(), sys.version)'
  echo "root ready in $((SECONDS - start)) s"

  step "aarch64 wheel on Debian's CPython (emulated)"
  start=$SECONDS
  rm -rf "$arm/lumo"
  mkdir -p "$arm/lumo"
  cp "$wheel" "$arm/lumo/"
  # pip in the root trusts what the host's pip trusts (the environment's
  # certificate variables name /etc/ssl/certs/ca-certificates.crt).
  mkdir -p "$arm/etc/ssl/certs"
  cp "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$arm/etc/ssl/certs/ca-certificates.crt"
  cp -r "$src" "$arm/lumo/src"
  mount -t proc proc "$arm/proc"
  chroot "$arm" /usr/bin/python3 -m venv /lumo/venv
  PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_FIND_LINKS= \
    chroot "$arm" /lumo/venv/bin/python -m pip install -q --no-compile "/lumo/$(basename "$wheel")[test]"
  chroot "$arm" /bin/sh -c "cd / && /lumo/venv/bin/python -c '$import_check'"
  log="$work/pytest-aarch64.log"
  chroot "$arm" /bin/sh -c "cd /lumo/src/tests/python &&
    /lumo/venv/bin/python -m pytest -q -p no:cacheprovider -rs ${ignored[*]} ." | tee "$log"
  umount "$arm/proc"
  summaries+=("aarch64 (qemu) CPython $(chroot "$arm" /lumo/venv/bin/python -c 'import platform; print(platform.python_version())'): $(tail -n 1 "$log") ($((SECONDS - start)) s with the install)")
fi

step "summary"
printf '%s\n' "${summaries[@]}"
