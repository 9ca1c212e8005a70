#!/usr/bin/python3
"""The real dotvane under dotvane-emulate, against logind and UPower as
python3-dbusmock's templates play them on a private system bus that this
test starts and stops: the computer is held while the display is written
and while it restarts, and never longer; a low battery starts nothing.
CTest passes the two programs in DOTVANE and DOTVANE_EMULATE."""

import json
import os
import subprocess
import tempfile
import threading
import time
import unittest

try:
    import dbus
    from dbusmock import DBusTestCase
except ImportError:  # Debian's python3-dbusmock, for /usr/bin/python3
    DBusTestCase = None

DOTVANE = os.environ.get("DOTVANE", "dotvane")
EMULATE = os.environ.get("DOTVANE_EMULATE", "dotvane-emulate")
STEP_LIMIT_S = 60  # each awaited line comes within seconds; this only stops a hang

WHAT = "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:handle-lid-switch"
WHY = "The Braille display's firmware is being written."
UPOWER = "org.freedesktop.UPower"
DISPLAY_DEVICE = "/org/freedesktop/UPower/devices/DisplayDevice"
PROPERTIES = "org.freedesktop.DBus.Properties"


class Session:
    """One interactive run of dotvane under dotvane-emulate: commands go in
    as they are needed, and the test looks at the mocks between them."""

    def __init__(self, *options, env=None):
        self.dir = tempfile.TemporaryDirectory()
        self.log_path = os.path.join(self.dir.name, "requests.jsonl")
        self.state = os.path.join(self.dir.name, "state")
        environment = dict(os.environ, DOTVANE_UI="text", XDG_STATE_HOME=self.state, **(env or {}))
        environment.pop("DISPLAY", None)
        environment.pop("WAYLAND_DISPLAY", None)
        self.process = subprocess.Popen([EMULATE, *options, "--log", self.log_path, "--", DOTVANE],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, env=environment)
        self.lines = []
        self.err = ""
        self.seen = 0
        self.changed = threading.Condition()
        self.readers = [threading.Thread(target=self._read_out, daemon=True),
                        threading.Thread(target=self._read_err, daemon=True)]
        for reader in self.readers:
            reader.start()

    def _read_out(self):
        for line in self.process.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()

    def _read_err(self):
        for line in self.process.stderr:
            with self.changed:
                self.err += line
                self.changed.notify_all()

    def send(self, *commands):
        self.process.stdin.write("".join(command + "\n" for command in commands))
        self.process.stdin.flush()

    def expect_err(self, fragment):
        """Waits for a line on standard error that contains `fragment`; returns it."""
        deadline = time.monotonic() + STEP_LIMIT_S
        with self.changed:
            while time.monotonic() < deadline:
                for line in self.err.splitlines():
                    if fragment in line:
                        return line
                self.changed.wait(0.5)
        raise AssertionError("no trace line %r\n%s" % (fragment, self.describe()))

    def dotvane_pid(self):
        """The dotvane that dotvane-emulate started."""
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open("/proc/%s/stat" % entry, encoding="utf-8") as stat:
                        fields = stat.read().rsplit(")", 1)[1].split()
                except OSError:
                    continue
                if int(fields[1]) == self.process.pid:
                    return int(entry)
        raise AssertionError("dotvane is not running\n" + self.describe())

    def expect(self, test):
        """Waits for the next line (after the last one expected) that passes
        `test`, a text it contains or a function; returns it."""
        check = test if callable(test) else (lambda line: test in line)
        deadline = time.monotonic() + STEP_LIMIT_S
        with self.changed:
            while True:
                for i in range(self.seen, len(self.lines)):
                    if check(self.lines[i]):
                        self.seen = i + 1
                        return self.lines[i]
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None and not self.readers[0].is_alive()):
                    raise AssertionError("no line for %r\n%s" % (test, self.describe()))
                self.changed.wait(min(left, 0.5))

    def finish(self):
        self.process.stdin.close()
        status = self.process.wait(timeout=STEP_LIMIT_S)
        for reader in self.readers:
            reader.join()
        return status

    def close(self):
        """After the test, passed or not: nothing of the run is left behind."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for reader in self.readers:
            reader.join(timeout=5)
        for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
            pipe.close()
        self.dir.cleanup()

    def requests(self):
        with open(self.log_path, encoding="utf-8") as log:
            return [json.loads(line)["request"].upper() for line in log if '"control' in line]

    def history(self):
        path = os.path.join(self.state, "dotvane", "history.jsonl")
        deadline = time.monotonic() + 5
        while not os.path.exists(path) and time.monotonic() < deadline:
            time.sleep(0.05)
        with open(path, encoding="utf-8") as history:
            return [json.loads(line) for line in history]

    def describe(self):
        return "--- stdout\n%s\n--- stderr\n%s" % ("\n".join(self.lines), self.err)


def writing(line):
    return line.startswith("progress 1004 ") and not line.endswith(" 0%")


@unittest.skipIf(DBusTestCase is None, "python3-dbusmock is not installed for this Python")
class PowerTest(DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        cls.logind, _ = cls.spawn_server_template("logind", {}, stdout=subprocess.DEVNULL)
        cls.upower, _ = cls.spawn_server_template("upower", {"OnBattery": False}, stdout=subprocess.DEVNULL)
        cls.bus = cls.get_dbus(system_bus=True)

    @classmethod
    def tearDownClass(cls):
        for server in (cls.logind, cls.upower):
            server.terminate()
            server.wait()
        cls.stop_dbus(cls.system_bus_pid)

    def inhibitors(self):
        manager = self.bus.get_object("org.freedesktop.login1", "/org/freedesktop/login1")
        listed = manager.ListInhibitors(dbus_interface="org.freedesktop.login1.Manager")
        return [tuple(str(field) for field in entry[:4]) for entry in listed]

    def assert_held(self, session):
        self.assertEqual(self.inhibitors(), [(WHAT, "Dotvane", WHY, "block")], session.describe())

    def assert_not_held(self, session):
        # The mock drops an inhibitor when it sees its descriptor closed.
        deadline = time.monotonic() + 2
        while self.inhibitors() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.inhibitors(), [], session.describe())

    def set_supply(self, on_battery, device_type, state, percentage):
        manager = self.bus.get_object(UPOWER, "/org/freedesktop/UPower")
        manager.Set(UPOWER, "OnBattery", dbus.Boolean(on_battery), dbus_interface=PROPERTIES)
        device = self.bus.get_object(UPOWER, DISPLAY_DEVICE)
        values = {"Type": dbus.UInt32(device_type), "State": dbus.UInt32(state),
                  "Percentage": dbus.Double(percentage), "IsPresent": dbus.Boolean(device_type == 2)}
        for name, value in values.items():
            device.Set(UPOWER + ".Device", name, value, dbus_interface=PROPERTIES)

    def setUp(self):
        self.set_supply(False, 0, 0, 0.0)  # a desktop: no battery

    def session(self, *options, env=None):
        session = Session(*options, env=env)
        self.addCleanup(session.close)
        return session

    def test_the_lock_is_held_through_the_write_and_the_restart_and_no_longer(self):
        # A slow write, and a display that takes 3 s to come back.
        session = self.session("--chunk-delay", "200", "--restart-return", "3000", env={"DOTVANE_TRACE": "1"})
        session.send("wait current Firmware Version", "press Update Firmware...", "press Start Download")
        session.expect(writing)
        self.assert_held(session)
        # The lock's descriptor is closed on exec: no child process keeps it.
        fd = session.expect_err("dotvane-trace power Inhibit -> held, fd ").rsplit(" ", 1)[1]
        with open("/proc/%d/fdinfo/%s" % (session.dotvane_pid(), fd), encoding="utf-8") as info:
            flags = int(next(line for line in info if line.startswith("flags:")).split()[1], 8)
        self.assertTrue(flags & os.O_CLOEXEC, oct(flags))
        session.expect("Waiting for the Braille display to restart")
        self.assert_held(session)
        session.send("wait Download Done")
        session.expect('box "Download Done"')
        self.assert_not_held(session)
        session.send("answer ok")
        self.assertEqual(session.finish(), 0, session.describe())

    def test_no_lock_is_left_after_a_failure_a_refusal_or_cancel(self):
        cases = [
            ("failure", ["--chunk-delay", "200", "--refuse-chunk", "4:010010000001"], ["press Start Download"],
             writing, 'box "ERROR" "Firmware update failed!', ["answer ok", "wait end 129", "press Exit"]),
            ("refusal", ["--version", "4.70"], [], None, 'box "ERROR" "Cannot update', ["answer ok", "press Exit"]),
            ("cancel", [], ["press Cancel"], None, 'end 129 "Firmware Update" result 0', ["press Exit"]),
        ]
        for name, options, commands, during, after, leave in cases:
            with self.subTest(name):
                session = self.session(*options)
                session.send("wait current Firmware Version", "press Update Firmware...", *commands)
                if during:
                    session.expect(during)
                    self.assert_held(session)
                session.expect(after)
                self.assert_not_held(session)
                session.send(*leave)
                self.assertEqual(session.finish(), 1, session.describe())
                self.assert_not_held(session)

    def test_the_supply_decides_whether_the_write_starts(self):
        # (name, OnBattery, display device type (2: battery), state (1: charging, 2: discharging), %)
        table = [
            ("5 % on battery", True, 2, 2, 5.0, False),
            ("5 % charging on AC", False, 2, 1, 5.0, True),
            ("no battery", False, 0, 0, 0.0, True),
        ]
        for name, on_battery, device_type, state, percentage, writes in table:
            with self.subTest(name):
                self.set_supply(on_battery, device_type, state, percentage)
                session = self.session()
                session.send("wait current Firmware Version", "press Update Firmware...", "press Start Download")
                if writes:
                    session.expect('box "Download Done"')
                    session.send("answer ok")
                    self.assertEqual(session.finish(), 0, session.describe())
                    self.assertIn("DF", session.requests())
                    continue
                session.expect(
                    'box "Battery Too Low" "Connect the computer to power, then choose Update Firmware... again: '
                    'its battery is at 5%, which may not last until the Braille display has been written." '
                    "buttons OK default OK icon warning")
                self.assert_not_held(session)
                session.send("answer ok")
                session.expect("enabled 1000 yes")  # Update Firmware... is offered again
                session.send("press Exit")
                self.assertEqual(session.finish(), 1, session.describe())
                self.assertFalse({"DF", "DC", "EF"} & set(session.requests()), session.requests())
                records = session.history()
                self.assertEqual([(r["result"], r["battery"]) for r in records], [("low battery", 5)])
                printed = subprocess.run([DOTVANE, "--history"], capture_output=True, text=True, timeout=30,
                                         env=dict(os.environ, XDG_STATE_HOME=session.state)).stdout
                self.assertIn("image 5.71: not started: the computer was on battery at 5%, too low to write the "
                              "display.", printed)

    def test_without_logind_or_upower_the_update_goes_on_and_the_trace_says_so(self):
        session = self.session(env={"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/bus", "DOTVANE_TRACE": "1"})
        session.send("wait current Firmware Version", "press Update Firmware...", "press Start Download",
                     "wait Download Done", "answer ok")
        self.assertEqual(session.finish(), 0, session.describe())
        self.assertIn("dotvane-trace power Inhibit -> not held, no system bus", session.err)


if __name__ == "__main__":
    unittest.main()
