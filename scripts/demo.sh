#!/usr/bin/env bash
# Builds the server and runs it on the demo application in out/demo (port 8080 by default:
# the port is part of the executable's name). First run: open http://localhost:8080/ and
# register the administrator; then restart this script to serve the application.
set -euo pipefail
cd "$(dirname "$0")/.."
port=${1:-8080}

packages=(build-essential cmake ninja-build pkg-config libsqlite3-0 libsqlite3-dev
          libsqlcipher0 nettle-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_TESTS=OFF >/dev/null
cmake --build build-demo --target norvane

demo=out/demo
mkdir -p "$demo/images" "$demo/menu"
cp -n demo/menu/index.html "$demo/menu/" 2>/dev/null || true
# The engine is found by a file-name search below the executable's folder.
lib=$(ls /usr/lib/*/libsqlcipher.so.0 2>/dev/null | head -n 1)
[ -n "$lib" ] && ln -sf "$lib" "$demo/libsqlcipher.so.0"
exe="$demo/norvane：$port"
cp build-demo/norvane "$exe"
echo "Serving $demo on http://localhost:$port/ (Ctrl+C stops)"
cd "$demo" && exec "./norvane：$port"
