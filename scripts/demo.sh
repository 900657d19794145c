#!/usr/bin/env bash
# Builds the server and runs it on the demo application in out/demo (port 8080 by default:
# the port is part of the executable's name). First run: open http://localhost:8080/ and
# register the administrator; then restart this script to serve the application.
# Starting over: delete out/demo/ZURazo.db (definitions and users) and out/demo/住所録.db
# (the address book's rows).
set -euo pipefail
cd "$(dirname "$0")/.."
port=${1:-8080}

bash scripts/install.sh build

cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_TESTS=OFF >/dev/null
cmake --build build-demo --target norvane

demo=out/demo
mkdir -p "$demo/images" "$demo/menu"
cp -r demo/menu/. "$demo/menu/"
if [ -d demo/images ]; then cp -r demo/images/. "$demo/images/"; fi
# The template database is built from its text source, again whenever the source changed.
# The set-up copies it to ZURazo.db, so a change reaches the application with a new set-up.
init="$demo/ZURazo_Init.db"
if [ ! -f "$init" ] || [ demo/ZURazo_Init.sql -nt "$init" ]; then
  rm -f "$init.tmp"
  sqlite3 -bail "$init.tmp" <demo/ZURazo_Init.sql
  mv "$init.tmp" "$init"
fi
# The engine is found by a file-name search below the executable's folder.
lib=$(ls /usr/lib/*/libsqlcipher.so.0 2>/dev/null | head -n 1)
[ -n "$lib" ] && ln -sf "$lib" "$demo/libsqlcipher.so.0"
exe="$demo/norvane：$port"
cp build-demo/norvane "$exe"
if [ -f "$demo/ZURazo.db" ]; then
  echo "Serving the demo application on http://localhost:$port/ (Ctrl+C stops)."
  echo "Log in as the administrator registered at set-up; the menu leads to the address book."
else
  echo "First run: open http://localhost:$port/ and register an administrator name and password."
  echo "The browser then asks for them (HTTP Basic authentication): enter the same again."
  echo "Then stop the server (Ctrl+C) and run this script again to serve the application."
fi
cd "$demo" && exec "./norvane：$port"
