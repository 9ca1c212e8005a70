#!/usr/bin/env bash
# scripts/package.sh [debian|windows]: builds the program's package.
#
# debian (the default): the Debian package from the normal build,
# build/normal/package/dotvane_<version>_<arch>.deb (CPack's DEB
# generator; what goes in it is in packaging/CMakeLists.txt).
# dotvane-emulate, a testing tool, is not part of it.
#
# windows: the Windows installer from the Windows build,
# build/windows/package/dotvane-<version>-x64.msi (wixl;
# packaging/windows/dotvane.wxs).  With DOTVANE_SIGN_CERT and
# DOTVANE_SIGN_KEY (files: the code-signing certificate, PEM or DER, with
# its chain, and its private key) dotvane.exe and then the installer are
# signed with osslsigncode; DOTVANE_SIGN_PASSWORD is the key's password,
# DOTVANE_SIGN_TIMESTAMP a time-stamping server's URL (a signature stays
# valid after the certificate expires only when time-stamped).  Without
# them nothing is signed, and it says so.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-debian}

bash scripts/install-deps.sh
case $kind in
  debian)
    bash scripts/build.sh normal dotvane dotvane-manpage dotvane-icons dotvane-changelog
    rm -f build/normal/package/dotvane_*.deb
    (cd build/normal && cpack -G DEB >/dev/null)
    ls build/normal/package/dotvane_*.deb
    ;;
  windows)
    bash scripts/build.sh windows dotvane dotvane-msi
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows/CMakeCache.txt)
    msi=build/windows/package/dotvane-$version-x64.msi
    if [[ -n ${DOTVANE_SIGN_CERT:-} && -n ${DOTVANE_SIGN_KEY:-} ]]; then
      sign() {  # sign IN OUT DESCRIPTION
        local options=(-certs "$DOTVANE_SIGN_CERT" -key "$DOTVANE_SIGN_KEY" -h sha256 -n "$3"
                       -i https://dotvane.orvanta.com)
        [[ -z ${DOTVANE_SIGN_PASSWORD:-} ]] || options+=(-pass "$DOTVANE_SIGN_PASSWORD")
        [[ -z ${DOTVANE_SIGN_TIMESTAMP:-} ]] || options+=(-ts "$DOTVANE_SIGN_TIMESTAMP")
        rm -f "$2"
        osslsigncode sign "${options[@]}" -in "$1" -out "$2" >/dev/null
      }
      # The program inside the installer is signed too: Windows checks it
      # when it starts, long after the installer is gone.
      signed=build/windows/package/signed
      mkdir -p "$signed"
      sign build/windows/app/dotvane.exe "$signed/dotvane.exe" "Dotvane"
      bash packaging/windows/make_msi.sh "$signed/dotvane.exe" "$version" "$signed/dotvane.msi"
      sign "$signed/dotvane.msi" "$msi" "Dotvane $version"
      echo "package: signed dotvane.exe and $(basename "$msi")" >&2
    else
      echo "package: not signed (DOTVANE_SIGN_CERT and DOTVANE_SIGN_KEY are not set)" >&2
    fi
    ls "$msi"
    ;;
  *)
    echo "usage: scripts/package.sh [debian|windows]" >&2
    exit 2
    ;;
esac
