#!/usr/bin/env bash
# Installs what the builds and suites need, from Debian's packages. Idempotent: packages already
# present are skipped, and nothing is fetched when all are there.
set -euo pipefail
PACKAGES="cmake make g++ googletest mingw-w64 wine wine64 xvfb x11-utils fonts-wqy-microhei imagemagick
python3-pytest python3-pytest-rerunfailures gcc-arm-none-eabi binutils-arm-none-eabi libnewlib-arm-none-eabi gdb-multiarch
qemu-system-arm clang lld libclang-rt-14-dev python3.11-dbg python3-pandas"
missing=()
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
