#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and checks what a desktop needs of it: the
# desktop entry and the AppStream data pass their validators, the file types compile, the man
# page formats without warnings and the installed program runs.
#   bash scripts/check-install.sh [BUILD_DIR]      (default: build)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
prefix=$(mktemp -d "${TMPDIR:-/tmp}/kalvex-install-XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
share=$prefix/share
for f in bin/kalvex share/applications/example.orvane.kalvex.desktop \
         share/mime/packages/kalvex-mime.xml share/icons/hicolor/scalable/apps/kalvex.svg \
         share/metainfo/example.orvane.kalvex.metainfo.xml share/man/man1/kalvex.1; do
  [ -e "$prefix/$f" ] || { echo "check-install: $f is not installed" >&2; exit 1; }
done
desktop-file-validate "$share/applications/example.orvane.kalvex.desktop"
appstreamcli validate --no-net --pedantic "$share/metainfo/example.orvane.kalvex.metainfo.xml"
update-mime-database "$share/mime" >/dev/null 2>&1 || { echo "check-install: the file types do not compile" >&2; exit 1; }
grep -q 'application/x-kalvex-project' "$share/mime/globs2"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$share/man/man1/kalvex.1" 2>&1 >/dev/null || true)
[ -z "$warnings" ] || { echo "check-install: man page: $warnings" >&2; exit 1; }
version=$("$prefix/bin/kalvex" --version)
[[ $version == Kalvex\ * ]] || { echo "check-install: --version printed '$version'" >&2; exit 1; }
echo "check-install: $version installs and validates"
