#!/usr/bin/python3
"""The real dotvane under dotvane-emulate, driven only through AT-SPI, as a
screen reader user drives it: find the windows by role and name, read their
texts, press their buttons.  run_atspi_e2e.sh provides the virtual display,
the window manager and the session bus; DOTVANE and DOTVANE_EMULATE name the
two programs.

Each scenario runs in a child process of its own, in its own process group:
a pyatspi call that hangs cannot be interrupted by a signal the interpreter
handles, so a scenario that overruns its bound is killed with SIGKILL,
together with the programs it started."""

import os
import signal
import subprocess
import sys
import time

DOTVANE = os.environ.get("DOTVANE", "dotvane")
EMULATE = os.environ.get("DOTVANE_EMULATE", "dotvane-emulate")
RUN_LIMIT_S = 90      # a scenario takes a few seconds; this only stops a hang
STEP_LIMIT_S = 30     # one wait for something to appear or change
POLL_S = 0.1

MAIN_TITLE = "Orvanta Braille Display Firmware Update 5.71"


class Failure(Exception):
    pass


def log(text):
    print("[%7.2f] %s" % (time.monotonic() - START, text), flush=True)


START = time.monotonic()


# --- guarded AT-SPI access -------------------------------------------------
# A window that has just closed can still be listed and raise on any access,
# so every read is guarded and a failed read counts as "not there (yet)".

def safe(call, default=None):
    try:
        return call()
    except Exception:  # pyatspi raises GLib errors of several kinds
        return default


def role(obj):
    return safe(obj.getRoleName, "")


def name(obj):
    return safe(lambda: obj.name, "") or ""


def children(obj):
    count = safe(lambda: obj.childCount, 0) or 0
    out = []
    for i in range(count):
        child = safe(lambda: obj.getChildAtIndex(i))
        if child is not None:
            out.append(child)
    return out


def text_of(obj):
    """What a screen reader reads of a label: its text, else its name."""
    def read():
        text = obj.queryText()
        return text.getText(0, text.characterCount)
    return safe(read) or name(obj)


def states(obj):
    state_set = safe(obj.getState)
    if state_set is None:
        return set()
    return set(safe(state_set.getStates, []) or [])


def walk(obj, depth=0, limit=12):
    yield obj
    if depth < limit:
        for child in children(obj):
            yield from walk(child, depth + 1, limit)


def describe(obj, depth=0):
    """The subtree as indented lines, for failure messages."""
    import pyatspi
    line = "  " * depth + "%s %r" % (role(obj), name(obj))
    if role(obj) == "label":
        line += " text=%r" % text_of(obj)
    marks = sorted(pyatspi.stateToString(s) for s in states(obj)
                   if s in (pyatspi.STATE_IS_DEFAULT, pyatspi.STATE_FOCUSED, pyatspi.STATE_SENSITIVE,
                            pyatspi.STATE_ACTIVE, pyatspi.STATE_MODAL))
    if marks:
        line += " [" + ", ".join(marks) + "]"
    lines = [line]
    for child in children(obj):
        lines.append(describe(child, depth + 1))
    return "\n".join(lines)


def poll(what, find, limit=STEP_LIMIT_S, show=None):
    """Calls find until it returns something true, for at most limit seconds."""
    deadline = time.monotonic() + limit
    while True:
        found = safe(find)
        if found:
            return found
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for %s\n%s" % (what, show() if show else ""))
        time.sleep(POLL_S)


# --- the program under test ------------------------------------------------

def ancestors(pid):
    """pid and its parents' pids, read from /proc."""
    chain = []
    while pid > 1:
        chain.append(pid)
        try:
            with open("/proc/%d/stat" % pid) as stat:
                pid = int(stat.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            break
    return chain


class Program:
    """dotvane started by dotvane-emulate; its AT-SPI application is the one
    whose process descends from that dotvane-emulate, so that a window left
    over from an earlier run is never taken for this run's."""

    def __init__(self, *options, language=None):
        # English unless a scenario asks for a language: the machine's own
        # locale never decides what the windows say.
        env = dict(os.environ, DOTVANE_UI="gui", LC_ALL="C")
        env.pop("NO_AT_BRIDGE", None)
        env.pop("LANGUAGE", None)
        if language:
            # glibc honours LANGUAGE when the locale is not C; C.UTF-8 is always there.
            env.pop("LC_ALL")
            env.update(LANG="C.UTF-8", LANGUAGE=language)
        self.process = subprocess.Popen([EMULATE, *options, "--", DOTVANE], env=env)
        log("started %s %s (pid %d)" % (os.path.basename(EMULATE), " ".join(options), self.process.pid))

    def application(self):
        import pyatspi
        desktop = pyatspi.Registry.getDesktop(0)
        for app in children(desktop):
            pid = safe(app.get_process_id, 0)
            if pid and self.process.pid in ancestors(pid):
                return app
        return None

    def tree(self):
        app = safe(self.application)
        return describe(app) if app is not None else "(no application of this run on the bus)"

    def window(self, what, match):
        """The first top-level window of the program that match accepts."""
        def find():
            app = self.application()
            if app is None:
                return None
            for window in children(app):
                if match(window):
                    return window
            return None
        return poll(what, find, show=self.tree)

    def wait_exit(self, expected):
        try:
            status = self.process.wait(timeout=STEP_LIMIT_S)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end\n" + self.tree())
        log("ended with status %d" % status)
        if status != expected:
            raise Failure("exit status %d, expected %d" % (status, expected))

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def dialog(title):
    return lambda window: role(window) == "dialog" and name(window) == title


def box_with_text(fragment):
    """A box is found by the text it shows; its name (the caption) is set a
    moment after it appears."""
    def match(window):
        return role(window) == "alert" and any(
            role(obj) == "label" and fragment in text_of(obj) for obj in walk(window))
    return match


def labels(window):
    return [text_of(obj) for obj in walk(window) if role(obj) == "label"]


def button(window, label):
    def find():
        for obj in walk(window):
            if role(obj) == "push button" and name(obj) == label:
                return obj
        return None
    return poll("button %r" % label, find, show=lambda: describe(window))


def press(window, label):
    """Presses a button as a screen reader does: its own action.  The name is
    read first (a press on an object that went away raises); the press
    returns before the program acted, so callers poll for the result."""
    import pyatspi
    target = button(window, label)
    def sensitive():
        return pyatspi.STATE_SENSITIVE in states(target)
    poll("button %r to be enabled" % label, sensitive, show=lambda: describe(window))
    if name(target) != label:
        raise Failure("button %r changed its name to %r" % (label, name(target)))
    action = target.queryAction()
    index = next((i for i in range(action.nActions) if action.getName(i) in ("click", "press")), 0)
    log("press %r" % label)
    action.doAction(index)


def wait_text(window, what, fragments):
    """The window's labels, once one of them contains every fragment."""
    def find():
        for text in labels(window):
            if all(f in text for f in fragments):
                return text
        return None
    text = poll(what, find, show=lambda: describe(window))
    log("read %r" % text)
    return text


# --- scenarios ---------------------------------------------------------------

def scenario_update():
    program = Program()
    try:
        main = program.window("the main dialog", dialog(MAIN_TITLE))
        log("found dialog %r" % MAIN_TITLE)
        # Where a screen reader user learns of the window menu and of F1.
        description = safe(lambda: main.description, "") or ""
        if "About Dotvane: F1." not in description:
            raise Failure("the main dialog's description is %r" % description)
        wait_text(main, "the identity in the status line",
                  ["current Firmware Version 5.60", "Ready to update firmware."])
        press(main, "Update Firmware...")
        update = program.window("the Firmware Update dialog", dialog("Firmware Update"))
        wait_text(update, "the warning", ["DO NOT unplug Braille display during update!"])
        press(update, "Start Download")
        box = program.window("the Download Done box", box_with_text("Firmware update completed."))
        poll("the box to be named by its caption", lambda: name(box) == "Download Done", show=lambda: describe(box))
        text = " ".join(labels(box))
        log("box %r %r" % (name(box), text))
        for fragment in ("updated to Firmware Version 5.71", "Firmware update completed."):
            if fragment not in text:
                raise Failure("the Download Done box does not say %r:\n%s" % (fragment, describe(box)))
        press(box, "OK")
        program.wait_exit(0)
    finally:
        program.stop()


def scenario_refused_version():
    import pyatspi
    program = Program("--version", "4.70")
    try:
        main = program.window("the main dialog", dialog(MAIN_TITLE))
        wait_text(main, "the identity in the status line", ["current Firmware Version 4.70"])
        press(main, "Update Firmware...")
        box = program.window("the refusal box", box_with_text("Cannot update this firmware version!"))
        poll("the box to be named by its caption", lambda: name(box) == "ERROR", show=lambda: describe(box))
        log("box %r %r" % (name(box), " ".join(labels(box))))
        press(box, "OK")
        exit_button = button(main, "Exit")

        def exit_is_default_and_focused():
            marks = states(exit_button)
            return pyatspi.STATE_IS_DEFAULT in marks and pyatspi.STATE_FOCUSED in marks
        poll("Exit to be the default button and focused", exit_is_default_and_focused,
             show=lambda: describe(main))
        log("Exit is default and focused")
        update = button(main, "Update Firmware...")
        if pyatspi.STATE_IS_DEFAULT in states(update):
            raise Failure("Update Firmware... is still the default:\n" + describe(main))
        press(main, "Exit")
        program.wait_exit(1)
    finally:
        program.stop()


def scenario_not_found():
    program = Program("--plug-delay", "600000")
    try:
        prompt = program.window("the plug-in prompt", dialog("Braille Display Not Found"))
        log("found dialog 'Braille Display Not Found': %r" % " ".join(labels(prompt)))
        press(prompt, "Cancel")
        program.wait_exit(1)
    finally:
        program.stop()


def scenario_update_german():
    """The whole update with the German catalogue: every window, label,
    button and box reaches the screen reader in German."""
    program = Program(language="de")
    try:
        main = program.window("the German main dialog",
                              dialog("Orvanta Firmware-Aktualisierung für Braille-Zeilen 5.71"))
        description = safe(lambda: main.description, "") or ""
        if "Fenstermenü: Umschalt+F10. Über Dotvane: F1." not in description:
            raise Failure("the main dialog's description is %r" % description)
        wait_text(main, "the identity in the status line",
                  ["Vantor 3 Braille-Zeile, aktuelle Firmware-Version 5.60.",
                   "Bereit zur Aktualisierung der Firmware."])
        press(main, "Aktualisieren...")
        update = program.window("the Firmware-Aktualisierung dialog", dialog("Firmware-Aktualisierung"))
        wait_text(update, "the warning", ["Braille-Zeile beim Update NICHT abziehen!"])
        press(update, "Übertragung starten")
        box = program.window("the Übertragung abgeschlossen box",
                             box_with_text("Firmware-Aktualisierung abgeschlossen."))
        poll("the box to be named by its caption", lambda: name(box) == "Übertragung abgeschlossen",
             show=lambda: describe(box))
        text = " ".join(labels(box))
        log("box %r %r" % (name(box), text))
        if "aktualisiert auf Firmware-Version 5.71" not in text:
            raise Failure("the box does not say the new version in German:\n" + describe(box))
        press(box, "OK")
        program.wait_exit(0)
    finally:
        program.stop()


SCENARIOS = {
    "update": scenario_update,
    "update_german": scenario_update_german,
    "refused_version": scenario_refused_version,
    "not_found": scenario_not_found,
}


def run_one(scenario):
    try:
        SCENARIOS[scenario]()
    except Failure as failure:
        log("FAIL: %s" % failure)
        return 1
    log("ok")
    return 0


def run_all(selected):
    failed = []
    for scenario in selected:
        began = time.monotonic()
        child = subprocess.Popen([sys.executable, os.path.abspath(__file__), scenario], start_new_session=True)
        try:
            status = child.wait(timeout=RUN_LIMIT_S)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
            status = "killed after %d s" % RUN_LIMIT_S
        else:
            # Whatever the scenario left behind goes with its group.
            safe(lambda: os.killpg(child.pid, signal.SIGKILL))
        print("scenario %s: %s in %.1f s" % (scenario, "passed" if status == 0 else "FAILED (%s)" % status,
                                             time.monotonic() - began), flush=True)
        if status != 0:
            failed.append(scenario)
    return 1 if failed else 0


if __name__ == "__main__":
    arguments = sys.argv[1:]
    if len(arguments) == 1 and arguments[0] in SCENARIOS and os.environ.get("DOTVANE_ATSPI_CHILD"):
        sys.exit(run_one(arguments[0]))
    unknown = [a for a in arguments if a not in SCENARIOS]
    if unknown:
        sys.exit("unknown scenario(s) %s; known: %s" % (", ".join(unknown), ", ".join(SCENARIOS)))
    os.environ["DOTVANE_ATSPI_CHILD"] = "1"
    sys.exit(run_all(arguments or list(SCENARIOS)))
