#!/usr/bin/env bash
# cmake --install puts the program, its menu entry and its icon where a desktop finds them, and
# the entry is valid and starts the installed program.
# usage: install_test.sh BUILD_DIR
set -euo pipefail
build="$1"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
entry="$prefix/share/applications/kestrelfetch.desktop"
test -x "$prefix/bin/kestrelfetch"
test -s "$prefix/share/icons/hicolor/scalable/apps/kestrelfetch.svg"
desktop-file-validate "$entry"
grep -qx 'Exec=kestrelfetch' "$entry"
grep -qx 'Icon=kestrelfetch' "$entry"
echo "installed: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"
