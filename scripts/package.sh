#!/usr/bin/env bash
# Builds the Debian package of the optimised program: build/package/tarvik-host_VERSION_ARCH.deb
# with tarvik-host, tarvik-validator, their manual pages, the desktop entry and its icon, the
# README and the examples. Its dependencies are found by dpkg-shlibdeps from the libraries the
# programs link. Installs what it needs first (as root, or with sudo).
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# CPack's DEB generator asks dpkg-shlibdeps (dpkg-dev) for the dependencies and file(1) which of
# the installed files are programs.
scripts/install-deps.sh dpkg-dev file

cmake --preset release >/dev/null
cmake --build --preset release
rm -f build/package/tarvik-host_*.deb
cpack --preset release >/dev/null

deb=$(ls build/package/tarvik-host_*.deb)
echo "Built $deb"
dpkg-deb --field "$deb" Package Version Architecture Installed-Size Depends
