#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those still missing.
#   scripts/install.sh build   what building and running the server takes (demo.sh)
#   scripts/install.sh test    that, plus the test tools (test.sh)
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config libsqlite3-0 libsqlite3-dev sqlite3
          libsqlcipher0 nettle-dev)
if [ "${1:-build}" = test ]; then
  packages+=(clang libclang-rt-14-dev libsqlcipher-dev sqlcipher libgtest-dev libgmock-dev
             googletest)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
