#!/usr/bin/env bash
# tools/screenshots.sh [BUILD_DIR]: pictures of the real dotvane for the
# README, taken on a virtual display against an emulated display
# (dotvane-emulate), into docs/pictures/*.png.  The program is driven the way
# the AT-SPI test drives it (tests/gui/atspi_e2e.py, whose helpers are used),
# and F1 is typed with xdotool, because a key is what opens the About box.
# Needs: Xvfb, xdpyinfo, openbox, dbus-run-session, /usr/bin/python3 with
# pyatspi, xdotool, imagemagick (scripts/install-deps.sh installs them), and
# a build with the graphical back end and dotvane-emulate:
#     bash scripts/build.sh normal dotvane dotvane-emulate
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/normal}
export DOTVANE=$PWD/$build/app/dotvane
export DOTVANE_EMULATE=$PWD/$build/tools/emulate/dotvane-emulate
for program in "$DOTVANE" "$DOTVANE_EMULATE"; do
  [[ -x $program ]] || { echo "screenshots: $program is missing; build it first" >&2; exit 1; }
done
export DOTVANE_PICTURES=$PWD/docs/pictures
export XDG_STATE_HOME=$PWD/$build/state  # the emulated updates stay out of the user's update history
export PYTHONDONTWRITEBYTECODE=1  # importing the test's helpers leaves nothing in tests/gui
mkdir -p "$DOTVANE_PICTURES"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/take.py" <<'PY'
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.getcwd(), "tests", "gui"))
import atspi_e2e as t  # noqa: E402  (the helpers of the AT-SPI test)

PICTURES = os.environ["DOTVANE_PICTURES"]


def shoot(file_name):
    """The active window with its frame: the window that just opened, since
    openbox gives new windows the focus.  A short pause lets GTK finish
    drawing after AT-SPI already shows the window."""
    time.sleep(0.7)
    window = subprocess.run(["xdotool", "getactivewindow"], capture_output=True, text=True,
                            check=True).stdout.strip()
    path = os.path.join(PICTURES, file_name)
    subprocess.run(["import", "-window", window, "-frame", "-strip",
                    "-define", "png:compression-level=9", path], check=True)
    t.log("wrote %s" % path)


def main_window_about_download():
    # Chunks of 600 ms: the write lasts about 8 s, long enough to show it.
    program = t.Program("--chunk-delay", "600")
    try:
        main = program.window("the main dialog", t.dialog(t.MAIN_TITLE))
        t.wait_text(main, "the identity", ["Ready to update firmware."])
        shoot("main-window.png")
        subprocess.run(["xdotool", "key", "F1"], check=True)
        about = program.window("the About box", t.dialog("About Dotvane"))
        shoot("about.png")
        t.press(about, "OK")
        t.poll("the About box to close", lambda: not any(
            t.dialog("About Dotvane")(w) for w in t.children(program.application())))
        t.press(main, "Update Firmware...")
        update = program.window("the Firmware Update dialog", t.dialog("Firmware Update"))
        shoot("download.png")
        t.press(update, "Start Download")
        time.sleep(3.5)  # a third or so of the image written
        shoot("download-progress.png")
        box = program.window("the Download Done box", t.box_with_text("Firmware update completed."))
        shoot("download-done.png")
        t.press(box, "OK")
        program.wait_exit(0)
    finally:
        program.stop()


def plug_in_prompt():
    program = t.Program("--plug-delay", "600000")
    try:
        prompt = program.window("the plug-in prompt", t.dialog("Braille Display Not Found"))
        shoot("plug-in.png")
        t.press(prompt, "Cancel")
        program.wait_exit(1)
    finally:
        program.stop()


main_window_about_download()
plug_in_prompt()
PY

tools/with-virtual-display.sh 180 /usr/bin/python3 "$work/take.py" 2> >(grep -v "dbus-daemon\|SpiRegistry" >&2)
ls -l "$DOTVANE_PICTURES"/*.png
