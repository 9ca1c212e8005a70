#!/usr/bin/env bash
# Installs what building and testing Dotvane needs, from Debian 12's own
# packages, as root.  Debian 12 (bookworm) fixes the versions: GCC 12,
# CMake 3.25, GoogleTest 1.12 (built from /usr/src/googletest with our own
# flags, so the sanitizer builds instrument it too), Google Benchmark 1.7.
set -euo pipefail

packages=(
  build-essential   # g++ 12 with its ASan, UBSan and TSan runtimes
  cmake
  ninja-build
  ccache            # rebuilds of unchanged sources come from the cache (scripts/build.sh)
  python3           # the build generates the firmware image and the agent table
  googletest        # sources of GoogleTest and GoogleMock
  libbenchmark-dev
  libcli11-dev      # options of the tools around the program
  nlohmann-json3-dev  # the update history and the emulator's request log are JSON Lines
  libwxgtk3.2-dev   # the graphical interface (wxWidgets on GTK 3)
  libgtk-3-dev      # ...which also calls GTK directly (accessibility roles, labels)
  xvfb              # the graphical tests run on a virtual display
  xauth             # ...which xvfb-run needs (only recommended by xvfb)
  openbox           # ...with a window manager, for real keyboard focus
  dbus              # ...and a session bus for the accessibility bus
  at-spi2-core      # the accessibility bus screen readers use
  python3-pyatspi   # the end-to-end test reads the windows as a screen reader does
  xdotool           # ...and types keys into them
  orca              # the screen-reader end-to-end test listens with a real screen reader
  speech-dispatcher # ...which speaks through speech-dispatcher
  speech-dispatcher-espeak-ng  # ...with espeak-ng (only recommended by speech-dispatcher)
  x11-utils         # xdpyinfo: waits until the virtual display answers
  imagemagick       # import: screenshots of the virtual display
  desktop-file-utils  # desktop-file-validate checks the menu entry
  gettext           # the translations: xgettext extracts, msgfmt checks and compiles the catalogues (po/)
  locales           # ...and the German screen-reader test runs in de_DE.UTF-8 (generated below)
  libusb-1.0-0-dev  # the driver back end for real displays
  pkg-config        # finds libusb-1.0
  umockdev          # dotvane-emulate: displays as USB devices (its preload library)
  libumockdev-dev   # ...and its testbed library
  libglib2.0-dev    # ...which umockdev's API is built on; GDBus holds logind's lock and reads UPower
  python3-dbusmock  # the power test plays logind and UPower on a private system bus
  clang-14          # scripts/fuzz.sh: the fuzz targets are built with clang and libFuzzer
  libclang-rt-14-dev  # ...whose runtime also has FuzzedDataProvider.h, used by the replay tests too
  groff-base        # the manual pages are checked by rendering them (groff -man -ww)
  dpkg-dev          # scripts/package.sh: CPack's DEB generator computes dependencies with dpkg-shlibdeps
  librsvg2-bin      # ...and draws the PNG icons from the SVG (rsvg-convert)
  lintian           # the package test checks the .deb
  appstream         # ...validates the metainfo (appstreamcli)
  man-db            # ...finds the installed manual page (man -w)
  file              # ...and sees that the installed program is stripped
  g++-mingw-w64-x86-64-posix  # the Windows build (scripts/build.sh windows): MinGW-w64 with POSIX threads
  mingw-w64-tools   # ...and its tools
  wine              # the Windows tests run under Wine (64-bit only: no wine32)
  wine64
  fonts-wine        # ...with Wine's own fonts, for the dialogs (only recommended by wine)
  wixl              # scripts/package.sh windows: the Windows installer (.msi)
  osslsigncode      # ...signed when a certificate is given
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: missing ${missing[*]}; run as root to install them" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The German screen-reader test runs Orca in de_DE.UTF-8, a locale Debian
# has to generate (the program's own tests need only C.UTF-8, always there).
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: the locale de_DE.UTF-8 is missing; run as root to generate it" >&2
    exit 1
  fi
  echo "install-deps: generating the locale de_DE.UTF-8"
  sed -i 's/^# *\(de_DE\.UTF-8 UTF-8\)$/\1/' /etc/locale.gen
  grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >>/etc/locale.gen
  locale-gen
fi
