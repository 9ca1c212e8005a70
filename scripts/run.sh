#!/usr/bin/env bash
# The main job: installs what is needed, builds, and runs the real dotvane
# against an emulated display attached as a USB device (dotvane-emulate), so
# a whole update can be seen without hardware: the plug-in prompt, the
# display arriving, its identity, the download, its restart and "Download
# Done".  Without a graphical display the text interface is used and driven
# by the script below; with one, the windows are yours to use.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh normal dotvane dotvane-emulate

script=(
  'wait current Firmware Version'
  'press Update Firmware...'
  'press Start Download'
  'wait Download Done'
  'answer ok'
)
# The display is plugged in two seconds after dotvane starts.  The update of
# an emulated display is kept out of the user's own update history.
export XDG_STATE_HOME="$PWD/build/normal/state"
status=0
printf '%s\n' "${script[@]}" |
  build/normal/tools/emulate/dotvane-emulate --plug-delay 2000 --log build/normal/requests.jsonl -- build/normal/app/dotvane ||
  status=$?
echo "dotvane exited with status $status; the display's requests are in build/normal/requests.jsonl"
build/normal/app/dotvane --history || true
exit "$status"
