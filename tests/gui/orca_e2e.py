#!/usr/bin/python3
"""A real screen reader through whole updates: Debian's Orca listens to the
real dotvane (graphical interface) under dotvane-emulate on a virtual
display, and the user's part is played by keys alone (xdotool).  What is
asserted is what Orca itself says it spoke: the "SPEECH OUTPUT" lines of
its debug file.  Speech goes to speech-dispatcher with a silent audio
device, so no sound card is needed.

    orca_e2e.py [SCENARIO...]      (update, refusal, unplug, old_firmware, signal,
                                    update_german; default: all)

run_orca_e2e.sh provides the virtual display, the window manager and the
session bus; DOTVANE and DOTVANE_EMULATE name the two programs.  Each run
has its own Orca preferences and speech-dispatcher, stopped at its end."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DOTVANE = os.environ.get("DOTVANE", "dotvane")
EMULATE = os.environ.get("DOTVANE_EMULATE", "dotvane-emulate")
# The version the About box names: the build's (CTest passes the project's),
# or, run by hand, what the program itself says ("dotvane <version>, ...").
VERSION = os.environ.get("DOTVANE_VERSION") or subprocess.run(
    [DOTVANE, "--version"], capture_output=True, text=True, check=True, timeout=30).stdout.split()[1].rstrip(",")
STEP_LIMIT_S = 45     # one wait for Orca to say something
RUN_LIMIT_S = 150     # a whole scenario; the runner's own limit is above the sum
# Each chunk takes this long, so that the write lasts about 9 s (13 chunks):
# time for Tab, Shift+Tab and Escape, each answered, while it runs.
CHUNK_DELAY_MS = "700"
# A written display is away this long, as a real one restarting is: the
# restart wait is heard before it is back, even on a loaded machine.
RESTART_MS = "3000"

TITLE = "Orvanta Braille Display Firmware Update 5.71"
PLUG_IN = "Please plug a Vantor 3 Braille display into a USB port."
WARNING = "DO NOT unplug Braille display during update!"
STILL_WRITING = "The firmware is being written to the Braille display"
WRITTEN = "The firmware has been written."
# SPEECH OUTPUT: 'what was said' followed by the voice's settings.
SPEECH = re.compile(r"SPEECH OUTPUT: '(.*?)'\s*(?:\{|$)")
# The voice an utterance was given to: a line after its SPEECH OUTPUT line
# ("SD rate 2, pitch 10, volume 100, language de").
VOICE = re.compile(r"^\s*SD rate .*, language (\S+)")
START = time.monotonic()


class Failure(Exception):
    pass


def locale_environment(env, language):
    """English (C.UTF-8) whatever the machine's locale, or the given
    language's UTF-8 locale (install-deps generates de_DE.UTF-8): Orca takes
    its voice's language from it, and dotvane its texts."""
    env.pop("LANGUAGE", None)
    if language:
        env.update(LC_ALL=language + ".UTF-8", LANGUAGE=language.split("_")[0])
    else:
        env.update(LC_ALL="C.UTF-8")
    return env


def log(text):
    print("[%7.2f] %s" % (time.monotonic() - START, text), flush=True)


def key(*names):
    subprocess.run(["xdotool", "key", "--clearmodifiers", *names], check=True, timeout=10)
    log("key " + " ".join(names))


class Orca:
    """One Orca with a speech-dispatcher of its own, both stopped by stop()."""

    def __init__(self, work, language=None):
        self.work = work
        if language:
            known = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower().split()
            if language.lower() + ".utf8" not in known:
                raise Failure("the locale %s.UTF-8 is missing (scripts/install-deps.sh generates it)" % language)
        self.debug = os.path.join(work, "orca-debug.txt")
        self.env = locale_environment(dict(os.environ), language)
        run_dir = os.path.join(work, "run")
        os.mkdir(run_dir, 0o700)
        config = os.path.join(work, "config")
        shutil.copytree("/etc/speech-dispatcher", os.path.join(config, "speech-dispatcher"))
        with open(os.path.join(config, "speech-dispatcher", "speechd.conf"), "a") as conf:
            # No sound card: speech goes nowhere, but it is still spoken.
            conf.write('\nAudioOutputMethod "alsa"\nAudioALSADevice "null"\n')
        self.env.update(XDG_RUNTIME_DIR=run_dir, XDG_CONFIG_HOME=config,
                        XDG_DATA_HOME=os.path.join(work, "data"))
        prefs = os.path.join(work, "orca-prefs")
        os.mkdir(prefs)
        open(self.debug, "w").close()
        self.process = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(HERE, "orca_launch.py"), self.debug, prefs],
            env=self.env, stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "orca.err"), "w"),
            start_new_session=True)
        self.wait_for("Bildschirmleser an." if language == "de_DE" else "Screen reader on.")

    def spoken(self):
        with open(self.debug, errors="replace") as f:
            return [m.group(1) for m in map(SPEECH.search, f) if m]

    def voices(self):
        """(utterance, the language of the voice speech-dispatcher was asked for), in order."""
        out = []
        with open(self.debug, errors="replace") as f:
            for line in f:
                said = SPEECH.search(line)
                if said:
                    out.append([said.group(1), None])
                    continue
                voice = VOICE.search(line)
                if voice and out and out[-1][1] is None:
                    out[-1][1] = voice.group(1)
        return [(said, language or "") for said, language in out]

    def wait_for(self, fragment, after=0):
        """The index of the first utterance from `after` on containing `fragment`."""
        deadline = time.monotonic() + STEP_LIMIT_S
        while time.monotonic() < deadline:
            said = self.spoken()
            for i in range(after, len(said)):
                if fragment in said[i]:
                    log("heard %r" % said[i])
                    return i
            if self.process.poll() is not None:
                break
            time.sleep(0.1)
        raise Failure("Orca did not say %r; it said:\n  %s" % (fragment, "\n  ".join(self.spoken()[after:])))

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        pid_file = os.path.join(self.env["XDG_RUNTIME_DIR"], "speech-dispatcher", "pid", "speech-dispatcher.pid")
        try:
            os.kill(int(open(pid_file).read().strip()), signal.SIGKILL)
        except (OSError, ValueError):
            pass


class Program:
    """dotvane under dotvane-emulate, in the graphical interface; killed
    when its `with` block is left."""

    def __init__(self, work, *options, language=None):
        env = locale_environment(dict(os.environ, DOTVANE_UI="gui"), language)
        self.process = subprocess.Popen(
            [EMULATE, "--chunk-delay", CHUNK_DELAY_MS, *options, "--", DOTVANE],
            env=env, stdout=open(os.path.join(work, "program.out"), "w"),
            stderr=open(os.path.join(work, "program.err"), "w"), start_new_session=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()

    def ends_with(self, expected, after):
        try:
            status = self.process.wait(timeout=STEP_LIMIT_S)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end after %s" % after)
        if status != expected:
            raise Failure("exit status %d after %s" % (status, after))


def first(orca, fragment, after=0):
    """The index of the first utterance from `after` on containing `fragment`, or None."""
    return next((i for i, said in enumerate(orca.spoken()) if i >= after and fragment in said), None)


def in_order(orca, *fragments, after=0):
    """Each fragment is spoken after the one before it, or in the same
    utterance; returns the index of the last one."""
    at = after
    for fragment in fragments:
        at = orca.wait_for(fragment, at)
    return at


def whole_update(orca, work):
    with Program(work, "--plug-delay", "3000", "--restart-return", RESTART_MS) as program:
        at = in_order(orca, PLUG_IN, TITLE, "current Firmware Version 5.60")
        key("Return")  # Update Firmware... is the default button
        at = in_order(orca, "Firmware Update dialog", WARNING, "Start Download", after=at + 1)
        key("space")  # the keyboard is on Start Download
        started = orca.wait_for("Downloading firmware...", at)
        percent = orca.wait_for("percent", started + 1)
        # While the write runs, Tab and Shift+Tab land on what tells how far
        # it is, and Escape is answered with why the window stays.
        key("Tab")
        bar = orca.wait_for("Firmware written", percent + 1)
        key("shift+Tab")
        text = orca.wait_for("Downloading firmware...", bar + 1)
        key("Escape")
        why = orca.wait_for(STILL_WRITING, text + 1)
        # The end of the write is heard, then what is waited for.
        written = orca.wait_for(WRITTEN, started + 1)
        if why > written:
            raise Failure("the keys during the write were answered only after it had ended")
        waiting = orca.wait_for("Waiting for the Braille display to restart", written)
        done = orca.wait_for("Download Done", waiting + 1)
        orca.wait_for("updated to Firmware Version 5.71", done)
        key("Return")
        program.ends_with(0, "Download Done")


def refusal(orca, work):
    with Program(work, "--version", "4.70") as program:
        at = in_order(orca, TITLE, "current Firmware Version 4.70")
        key("F1")  # the About box: its name, version and copyright are all read
        at = in_order(orca, "About Dotvane dialog", f"Tavix Firmware Updater Version {VERSION}",
                      "Copyright (C) Orvanta", after=at + 1)
        key("Return")
        at = orca.wait_for("Update Firmware... push button", at + 1)
        key("Return")
        at = orca.wait_for("Cannot update this firmware version!", at + 1)
        key("Return")  # OK; then Exit is the default button
        orca.wait_for("Exit", at + 1)
        key("Return")
        program.ends_with(1, "Exit")


def unplug(orca, work):
    with Program(work, "--unplug-at-chunk", "4") as program:
        at = in_order(orca, TITLE, "current Firmware Version 5.60")
        key("Return")
        at = in_order(orca, WARNING, "Start Download", after=at + 1)
        key("space")
        failed = orca.wait_for("Firmware update failed!", at + 1)
        prompt = [i for i, said in enumerate(orca.spoken()) if PLUG_IN in said and i > at]
        if prompt and prompt[0] < failed:
            raise Failure("the plug-in prompt was spoken before the failure")
        key("Return")  # OK: only now the prompt
        orca.wait_for(PLUG_IN, failed + 1)
        key("Escape")
        program.ends_with(1, "Cancel")


def old_firmware(orca, work):
    """The display comes back with the firmware it had: the failure is the
    first word of the outcome, never "completed" before it."""
    with Program(work, "--keep-old-firmware", "--restart-return", RESTART_MS) as program:
        at = in_order(orca, TITLE, "current Firmware Version 5.60")
        key("Return")
        at = in_order(orca, WARNING, "Start Download", after=at + 1)
        key("space")
        written = orca.wait_for(WRITTEN, at + 1)
        failed = orca.wait_for("Firmware update failed! The Braille display came back with firmware version 5.60 "
                               "instead of 5.71.", written + 1)
        claimed = first(orca, "Firmware update completed", at + 1)
        if claimed is not None:
            raise Failure("success was announced: %r" % orca.spoken()[claimed])
        key("Return")  # OK: the command is offered again, and Return and the keyboard are on it
        orca.wait_for("Update Firmware... push button", failed + 1)
        key("Escape")
        program.ends_with(1, "Escape")
        claimed = first(orca, "Firmware update completed", at + 1)
        if claimed is not None:
            raise Failure("success was announced: %r" % orca.spoken()[claimed])


def dotvane_below(root):
    """The pid of the dotvane process below `root` (dotvane-emulate's child)."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                name, rest = stat.read().split("(", 1)[1].rsplit(")", 1)
        except (OSError, IndexError, ValueError):
            continue
        if name == "dotvane" and int(rest.split()[1]) == root:
            return int(entry)
    raise Failure("no dotvane process below %d" % root)


def terminated_mid_write(orca, work):
    """SIGTERM during the write: the sentence that says Dotvane will end when
    the update has finished is spoken at once, the update still completes."""
    with Program(work, "--restart-return", RESTART_MS) as program:
        at = in_order(orca, TITLE, "current Firmware Version 5.60")
        key("Return")
        at = in_order(orca, WARNING, "Start Download", after=at + 1)
        key("space")
        at = orca.wait_for("percent", orca.wait_for("Downloading firmware...", at + 1) + 1)
        os.kill(dotvane_below(program.process.pid), signal.SIGTERM)
        said = orca.wait_for("Dotvane will end when the update has finished.", at)
        waiting = orca.wait_for("Waiting for the Braille display to restart", said + 1)
        done = orca.wait_for("Download Done", waiting + 1)
        key("Return")
        program.ends_with(0, "Download Done after SIGTERM")



def whole_update_german(orca, work):
    """A German user: Orca speaks with espeak-ng's German voice, and every
    text it reads, the warning and the end of the update included, is German."""
    with Program(work, "--plug-delay", "3000", language="de_DE") as program:
        at = in_order(orca, "Bitte schließen Sie eine Braille-Zeile Vantor 3 an einen USB-Anschluss an.",
                      "Orvanta Firmware-Aktualisierung für Braille-Zeilen 5.71", "aktuelle Firmware-Version 5.60")
        key("Return")
        at = in_order(orca, "Firmware-Aktualisierung", "Braille-Zeile beim Update NICHT abziehen!",
                      "Übertragung starten", after=at + 1)
        key("space")
        started = orca.wait_for("Firmware wird übertragen...", at)
        done = orca.wait_for("Übertragung abgeschlossen", started + 1)
        orca.wait_for("aktualisiert auf Firmware-Version 5.71", done)
        voices = [language for said, language in orca.voices() if "NICHT abziehen" in said]
        if not voices or any(not language.startswith("de") for language in voices):
            raise Failure("the warning was not spoken with a German voice: %r" % voices)
        key("Return")
        program.ends_with(0, "Übertragung abgeschlossen")



SCENARIOS = {"update": whole_update, "refusal": refusal, "unplug": unplug, "old_firmware": old_firmware,
             "signal": terminated_mid_write, "update_german": whole_update_german}
# The locale each scenario's user has (Orca's and dotvane's alike); English otherwise.
LANGUAGES = {"update_german": "de_DE"}


def main(names):
    failures = 0
    for name in names or list(SCENARIOS):
        work = tempfile.mkdtemp(prefix="dotvane-orca-")
        log("scenario %s in %s" % (name, work))
        orca = None
        try:
            orca = Orca(work, LANGUAGES.get(name))
            SCENARIOS[name](orca, work)
            log("PASS %s; Orca said, in order:\n  %s" % (name, "\n  ".join(orca.spoken())))
        except Exception as error:  # each scenario reports and the next one runs
            failures += 1
            log("FAIL %s: %s" % (name, error))
            if orca:
                events = [line.strip()[:200] for line in open(orca.debug, errors="replace")
                          if "window:" in line and "EVENT MANAGER:" in line]
                sys.stdout.write("--- Orca's window events\n%s\n" % "\n".join(events[-12:]))
            for leftover in ("program.out", "program.err", "orca.err"):
                path = os.path.join(work, leftover)
                if os.path.exists(path):
                    sys.stdout.write("--- %s\n%s" % (leftover, open(path, errors="replace").read()[-3000:]))
        finally:
            if orca:
                orca.stop()
            if not os.environ.get("DOTVANE_KEEP_ORCA_LOGS"):
                shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (len(names or SCENARIOS) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
