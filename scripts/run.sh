#!/usr/bin/env bash
# The main job: installs what is needed, builds, and runs a whole firmware
# update of the shipped image into an emulated display, printing each step.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh normal dotvane-download-demo
exec build/normal/tools/dotvane-download-demo
