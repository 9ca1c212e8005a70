#!/usr/bin/env bash
# Builds the Debian package of the program from the normal build:
# build/normal/package/dotvane_<version>_<arch>.deb (CPack's DEB generator;
# what goes in it is in packaging/CMakeLists.txt).  dotvane-emulate, a
# testing tool, is not part of it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh normal dotvane dotvane-manpage dotvane-icons dotvane-changelog
rm -f build/normal/package/dotvane_*.deb
(cd build/normal && cpack -G DEB >/dev/null)
ls build/normal/package/dotvane_*.deb
