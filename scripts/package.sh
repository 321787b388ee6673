#!/usr/bin/env bash
# Builds the Debian package of the three programs from the build folder
# (VOK_BUILD_DIR, default build/) and checks it with lintian. Prints the
# package's path on the last line.
source "$(dirname "$0")/common.sh"
vok_packages+=(dpkg-dev lintian)
vok_build
cd "$VOK_BUILD_DIR"
rm -f vok_*.deb
if ! cpack -G DEB >cpack.log 2>&1; then
  cat cpack.log >&2
  exit 1
fi
deb=$(ls vok_*.deb)
echo "lintian on $deb:"
lintian --fail-on error,warning --info "$deb"
echo "size: $(du -k "$deb" | cut -f1) KiB, $(dpkg-deb -c "$deb" | wc -l) entries"
echo "$VOK_BUILD_DIR/$deb"
