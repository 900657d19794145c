#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those still missing.
#   scripts/install.sh build     what building and running the server takes (demo.sh)
#   scripts/install.sh browser   that, plus Chromium and npm for the browser test
#   scripts/install.sh test      all of it, plus the test tools (test.sh)
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config libsqlite3-0 libsqlite3-dev sqlite3
          libsqlcipher0 nettle-dev)
set_name=${1:-build}
if [ "$set_name" = test ]; then
  packages+=(clang libclang-rt-14-dev libsqlcipher-dev sqlcipher libgtest-dev libgmock-dev
             googletest)
fi
if [ "$set_name" = test ] || [ "$set_name" = browser ]; then
  packages+=(chromium)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# Node.js 20 or later with its npm comes with the machine; Debian's own is older than the
# browser test's driver accepts, so it is only a fallback.
if [ "$set_name" != build ] && ! command -v npm >/dev/null; then missing+=(nodejs npm); fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
