#!/usr/bin/python3
"""Starts Debian's Orca as /usr/bin/orca would, with its debug file written
line by line, so that a test can follow what Orca speaks while it runs
(the launcher opens that file block-buffered).

The launcher refuses to start while any other process of the user is named
orca.  Each test's Orca has a virtual display, a session bus, an
accessibility bus and a speech-dispatcher of its own, so the screen-reader
tests of several builds may run at once: the launcher is told there is no
other.

    orca_launch.py DEBUG_FILE PREFS_DIR"""

import builtins
import runpy
import sys

debug_file, prefs_dir = sys.argv[1], sys.argv[2]
real_open = builtins.open


def line_buffered_open(file, mode="r", *args, **kwargs):
    if file == debug_file and "w" in mode:
        return real_open(file, mode, buffering=1)
    return real_open(file, mode, *args, **kwargs)


builtins.open = line_buffered_open
sys.argv = ["orca", "--debug", "--debug-file=" + debug_file, "-u", prefs_dir]
main = runpy.run_path("/usr/bin/orca", run_name="orca_launcher")["main"]  # defines, runs nothing
main.__globals__["otherOrcas"] = lambda: []  # the namespace main() runs in, not run_path's copy
sys.exit(main())
