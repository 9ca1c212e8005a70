#!/usr/bin/env python3
"""heard_check.py SCENARIO RECORD: checks what heard_watch.exe heard of a run
of the demo (tests/windows/gui_run.sh SCENARIO) as a screen reader would:

- every focus event names a control that exists, is enabled and is not a
  dialog window itself, and the controls that get the keyboard are exactly
  the expected ones, in order (focus events on windows already gone when
  asked are Wine's own, raised while it destroys a window, and are left out);
- the status line's name changes say the expected sentences, in order;
- the progress bar raises value changes while the display is written;
- as the keyboard enters each window, its controls have the expected names
  and states, no control that is unavailable has the keyboard, and none has a
  keyboard shortcut (no label carries a mnemonic).

Wine raises no focus event for the very first focus of a program, nor for one
given while nothing had the keyboard, so the main window's first focus is not
in the record."""
import re
import sys

RESTART = ("The firmware has been written. Waiting for the Braille display to restart with its new firmware. "
           "This takes at most 2 minutes.")
DOWNLOAD_DIALOG = ("Firmware Update", [
    'Static "DO NOT unplug Braille display during update!"',
    'msctls_progress32 "Firmware written"',
    'Button "Start Download" focused',
    'Button "Cancel"',
])
EXPECTED = {
    "update": {
        "focus": ["OK", "Update Firmware...", "Exit", "Start Download", "Downloading firmware...", RESTART, "Exit",
                  "OK"],
        # "completed" is said by the Download Done box alone, once the display
        # has reported the image's version; the status line only says it is checked.
        "names": [r"Ready to update firmware\.$", r"^Downloading firmware\.\.\.$", "^" + re.escape(RESTART) + "$",
                  r"Checking its firmware version\.$"],
        "values": True,
        "windows": [
            ("About Dotvane", ['Static "Tavix Firmware Updater Version"', 'Static "Copyright (C) Orvanta"',
                               'Button "OK" focused', 'Static "1.0.2.2"']),
            ("Orvanta Braille Display Firmware Update 5.71", ['Button "Update Firmware..." focused', 'Button "Exit"']),
            DOWNLOAD_DIALOG,
            # Listed when the watcher gets to it: the display may be back by then.
            ("Orvanta Braille Display Firmware Update 5.71", ['Button "Update Firmware..." unavailable']),
            ("Download Done", ['Button "OK" focused']),
        ],
    },
    "refusal": {
        "focus": ["Exit", "OK", "Exit"],
        "names": [r"Ready to update firmware\.$", r"This firmware version cannot be updated\.$"],
        "values": False,
        "windows": [
            ("ERROR", ['Button "OK" focused', 'Static "Cannot update this firmware version!"']),
            ("Orvanta Braille Display Firmware Update 5.71", ['Button "Update Firmware..." unavailable',
                                                              'Button "Exit" focused']),
        ],
    },
    "failure": {
        "focus": ["Exit", "Start Download", "Downloading firmware...", "OK", "Exit"],
        "names": [r"Ready to update firmware\.$", r"^Downloading firmware\.\.\.$", r"The firmware update failed\."],
        "values": False,  # the first chunk is refused: nothing is written
        "windows": [
            DOWNLOAD_DIALOG,
            ("Orvanta Braille Display Firmware Update 5.71", ['Button "Update Firmware..." unavailable',
                                                              'Button "Exit" focused']),
        ],
    },
}

EVENT = re.compile(r'^(focus|name) (?:"([^"]*)"((?: unavailable| focused| default| key=\S+)*)|\(no object\)) '
                   r'(the window|a window that is gone|\S+) in "([^"]*)"$')


def main():
    scenario, path = sys.argv[1], sys.argv[2]
    expected = EXPECTED[scenario]
    lines = open(path, encoding="utf-8").read().splitlines()
    faults = []
    focus, names, values, windows = [], [], [], []
    downloading_at = restart_at = None
    for number, line in enumerate(lines):
        if line.startswith("window "):
            windows.append((line[len('window "'):-1], []))
            continue
        if line.startswith("  "):
            if windows:
                windows[-1][1].append(line.strip())
            continue
        if line.startswith("value"):
            values.append((number, line))
            continue
        if line.startswith("exit "):
            continue
        match = EVENT.match(line)
        if not match:
            faults.append(f"unreadable line: {line}")
            continue
        kind, name, states, where, top = match.groups()
        if kind == "focus":
            if where == "a window that is gone":
                continue
            if where == "the window":
                faults.append(f"the keyboard went to a window itself, not to a control: {line}")
            if states and "unavailable" in states:
                faults.append(f"the keyboard went to a disabled control: {line}")
            if name is None or name == "":
                faults.append(f"the keyboard went to something without a name: {line}")
            focus.append(name)
            if name == "Downloading firmware..." and downloading_at is None:
                downloading_at = number
        else:
            if where not in ("Static", "a window that is gone"):
                faults.append(f"a name change of something other than a text: {line}")
            names.append(name or "")
            if name == RESTART and restart_at is None:
                restart_at = number

    if focus != expected["focus"]:
        faults.append(f"the keyboard went to {focus}, expected {expected['focus']}")

    at = 0
    for said in names:
        if at < len(expected["names"]) and re.search(expected["names"][at], said):
            at += 1
    if at < len(expected["names"]):
        faults.append(f"name changes {names} do not say, in order, {expected['names']} "
                      f"(missing from {expected['names'][at]!r})")

    if expected["values"]:
        written = [n for n, _ in values if downloading_at is not None and n > downloading_at
                   and (restart_at is None or n < restart_at)]
        # The positions themselves are read when the watcher gets to them,
        # often after the dialog has gone: the unit test checks them.
        if not written:
            faults.append("no value change of the progress bar while the display was written")

    for title, controls in windows:
        if any("key=" in control for control in controls):
            faults.append(f"a control of {title!r} has a keyboard shortcut: {controls}")
        focused = [control for control in controls if " focused" in control]
        if len(focused) > 1 or any("unavailable" in control for control in focused):
            faults.append(f"{title!r} has the keyboard on {focused}")
    at = 0
    for title, controls in windows:
        if at < len(expected["windows"]):
            want_title, wanted = expected["windows"][at]
            if title == want_title and all(w in controls for w in wanted):
                at += 1
    if at < len(expected["windows"]):
        faults.append(f"no window {expected['windows'][at][0]!r} with {expected['windows'][at][1]} "
                      f"(in order) among {windows}")

    for fault in faults:
        print(f"heard_check: {fault}", file=sys.stderr)
    if not faults:
        print(f"heard_check: {scenario}: the keyboard went to {focus}; {len(names)} name changes, "
              f"{len(values)} value changes; {len(windows)} windows listed")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
