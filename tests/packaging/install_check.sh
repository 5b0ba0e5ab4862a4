#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a desktop sees: the program
# and the receiver tool run, the desktop entry and the AppStream metadata validate, every
# icon size is there, and both manual pages render.
# Usage: install_check.sh BUILD_DIR
set -uo pipefail
build=$1
for tool in desktop-file-validate appstreamcli man; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
prefix=$(mktemp -d /tmp/ostrel-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"
"$prefix/bin/ostrel" --version | grep -qx "ostrel [0-9.]*" || fail "ostrel --version"
"$prefix/bin/ostrel-receiver" --help >/dev/null 2>&1
[ -x "$prefix/bin/ostrel-receiver" ] || fail "no receiver tool"
desktop-file-validate "$prefix/share/applications/org.ostrel.Ostrel.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$prefix/share/metainfo/org.ostrel.Ostrel.metainfo.xml" >/dev/null ||
  fail "AppStream metadata"
for size in 16 24 32 48 64 128 256; do
  f=$prefix/share/icons/hicolor/${size}x${size}/apps/ostrel.png
  [ -s "$f" ] || fail "no ${size}px icon"
done
[ -s "$prefix/share/icons/hicolor/scalable/apps/ostrel.svg" ] || fail "no scalable icon"
for page in ostrel ostrel-receiver; do
  man -l "$prefix/share/man/man1/$page.1" 2>&1 | grep -q "^NAME" || fail "man page $page"
done
# The program finds its acknowledgements in the installed tree.
[ -s "$prefix/share/ostrel/acknowledgments.html" ] || fail "no acknowledgements"
echo PASS
