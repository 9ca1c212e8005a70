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
  python3           # the build generates the firmware image and the agent table
  googletest        # sources of GoogleTest and GoogleMock
  libbenchmark-dev
  libcli11-dev      # options of the tools around the program
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
