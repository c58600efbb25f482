#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
# The bandwidth picked on Pre-flight checks is the cap the migration runs at and
# logs. The real kivo window is the source, under Xvfb, driven through AT-SPI as
# a screen reader would; kivo-cli receive on loopback types the code shown on the
# window at its terminal. On the way, "Install" of an app this machine lacks opens
# its store page through xdg-open, here a recording one. That the engine keeps to
# the cap is SourceFixture.BandwidthCapPacesChunksOnTheInjectedClock's, and that a
# profile's cap wins is ProfileGovernedSession.PolicyCapAndCategoriesComeFromTheProfileIfThereIsOne's.
#   BandwidthCapAtspiTest.py KIVO KIVO_CLI     exit 0 passed, 1 failed, 77 skipped
import glob
import json
import os
import pty
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time



def skip(why):
    print(f"SKIPPED: {why}")
    sys.exit(77)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Window:
    """The kivo application as AT-SPI shows it."""

    def __init__(self, pyatspi):
        self.at = pyatspi

    def app(self):
        for a in self.at.Registry.getDesktop(0):
            if a is not None and a.name == "kivo":
                return a
        return None

    def nodes(self, n):
        yield n
        for c in n:
            if c is not None:
                yield from self.nodes(c)

    def has(self, n, state):
        try:
            return n.getState().contains(state)
        except Exception:
            return False

    def find(self, name, role=None, prefix=False, showing=True, timeout=60):
        end = time.time() + timeout
        while time.time() < end:
            app = self.app()
            for n in self.nodes(app) if app else []:
                text = n.name or ""
                if (text.startswith(name) if prefix else text == name) and (role is None or n.getRoleName() == role) \
                        and (not showing or self.has(n, self.at.STATE_SHOWING)):
                    return n
            time.sleep(0.2)
        raise AssertionError(f'no "{name}" on the window')

    def act(self, node, action):
        a = node.queryAction()
        for i in range(a.nActions):
            if a.getName(i) == action:
                a.doAction(i)
                return
        raise AssertionError(f'"{node.name}" cannot {action}')

    def press(self, name, role="push button"):
        node = self.find(name, role)
        self.act(node, "Press")
        return node

    def choose(self, name):
        # Below the fold: focus brings it into view, as Tab would. A page still
        # laying itself out (a loaded machine) can scroll short of it, and focus
        # asked for again where it already is moves nothing: so each retry
        # takes focus away to another choice first.
        end = time.time() + 60
        while True:
            radio = self.find(name, "radio button", showing=False)
            self.act(radio, "SetFocus")
            try:
                radio = self.find(name, "radio button", timeout=3)
                break
            except AssertionError:
                if time.time() > end:
                    raise
                siblings = radio.parent or []
                other = next((n for n in siblings if n is not None and n.getRoleName() == "radio button" and n.name != name), None)
                if other is not None:
                    self.act(other, "SetFocus")
                    time.sleep(0.5)
        self.act(radio, "Press")
        return radio


def recording_opener(work):
    """A folder for PATH whose xdg-open writes down what it was asked to open."""
    folder, log = os.path.join(work, "bin"), os.path.join(work, "opened")
    os.makedirs(folder)
    with open(os.path.join(folder, "xdg-open"), "w") as f:
        f.write(f'#!/bin/sh\nprintf "%s\\n" "$@" >>"{log}"\n')
    os.chmod(os.path.join(folder, "xdg-open"), 0o755)
    return folder, log


def asked_to_open(log, wait=10):
    # The shell creates the log before printf fills it: wait for a whole line.
    end = time.time() + wait
    while True:
        text = open(log).read() if os.path.exists(log) else ""
        if text.endswith("\n") or time.time() >= end:
            return text.split()
        time.sleep(0.1)


def install_opens_store_page(window, opened):
    # Below the fold on the What to Move screen, as GIMP's row is.
    node, end = None, time.time() + 30
    while node is None and time.time() < end:
        node = next((n for n in window.nodes(window.app()) if n.name == "Install" and n.description == "GIMP"), None)
        time.sleep(0.2)
    assert node is not None, "no Install for GIMP"
    window.act(node, "SetFocus")
    window.act(node, "Press")
    assert asked_to_open(opened) == ["https://flathub.org/apps/org.gimp.GIMP"], asked_to_open(opened, 0)


def migrate(work, kivo, cli, window, pick):
    source, destination = os.path.join(work, "source"), os.path.join(work, "destination")
    os.makedirs(os.path.join(source, "Documents"))
    # An app with data here that this machine does not have installed.
    os.makedirs(os.path.join(source, ".config", "GIMP", "2.10"))
    with open(os.path.join(source, ".config", "GIMP", "2.10", "gimprc"), "w") as f:
        f.write("(theme \"Dark\")\n")
    opener, opened = recording_opener(work)
    with open(os.path.join(source, "Documents", "letter.bin"), "wb") as f:
        f.write(os.urandom(100000))
    port = free_port()
    # No profile: the choice is the window's.
    env = dict(os.environ, KIVO_CONFIG_PROFILE=os.path.join(work, "none.plist"), PATH=opener + os.pathsep + os.environ["PATH"])
    gui = subprocess.Popen([kivo, "--home", source, "--port", str(port)], env=env,
                           stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "kivo.log"), "wb"))
    receive = None
    try:
        window.press("Get Started")
        window.press("Source Computer")
        window.find("Waiting for Connection")
        terminal, typist = pty.openpty()
        receive = subprocess.Popen([cli, "receive", "--home", destination, "--connect", f"127.0.0.1:{port}",
                                    "--timeout", "120", "--json", "--no-vault"], stdin=typist,
                                   stdout=open(os.path.join(work, "receive.out"), "wb"), stderr=subprocess.STDOUT)
        code = re.sub(r"\D", "", window.find("Pairing code", prefix=True).name)
        os.write(terminal, (code + "\n").encode())
        window.press("Continue")
        window.find("What to Move")
        install_opens_store_page(window, opened)
        # The receiving terminal's session keeps no keyring to import into.
        window.act(window.find("Passwords and Keys", "push button"), "Toggle")
        window.press("Start Migration")
        window.find("Pre-flight checks")
        assert window.has(window.choose(pick), window.at.STATE_CHECKED), f'"{pick}" is not chosen'
        # "Start Migration" waits for the checks, and AT-SPI may not say the button is disabled:
        # a check's line shows once they have run.
        window.find("Home folder can be read: ", prefix=True)
        window.press("Start Migration")
        window.find("Review your migration")
        window.press("Start Migration")
        assert receive.wait(120) == 0, open(os.path.join(work, "receive.out")).read()
        window.find("Migration Complete")
        logs = glob.glob(os.path.join(source, ".local/share/kivo/logs/migration_*.json"))
        assert len(logs) == 1, logs
        with open(logs[0]) as f:
            return json.load(f).get("maxTransferMbps")
    finally:
        for p in (receive, gui):
            if p and p.poll() is None:
                p.kill()
                p.wait()


def session(kivo, cli):
    display = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    bus = None
    try:
        os.environ["DISPLAY"] = ":" + display.stdout.readline().decode().strip()
        bus = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.environ.update(QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        # An app started before the accessibility bus answers never joins it: wait for it.
        end = time.time() + 60
        while subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                              "org.a11y.Bus.GetAddress"], capture_output=True).returncode != 0:
            assert time.time() < end, "the accessibility bus did not answer"
            time.sleep(0.2)
        import pyatspi
        with tempfile.TemporaryDirectory() as work:
            try:
                logged = migrate(work, kivo, cli, Window(pyatspi), "50 Mbps (work mostly)")
            except AssertionError:
                # What the window said is what tells a failure here apart.
                log = os.path.join(work, "kivo.log")
                print(open(log, errors="replace").read()[-4000:] if os.path.exists(log) else "no log", file=sys.stderr)
                raise
        print(f"the log says {logged} Mbps")
        return 0 if logged == 50 else 1
    finally:
        for p in (bus, display):
            if p:
                p.kill()
                p.wait()


def main():
    if len(sys.argv) != 3:
        print("usage: BandwidthCapAtspiTest.py KIVO KIVO_CLI", file=sys.stderr)
        return 2
    if os.environ.get("KIVO_ATSPI_SESSION") != "1":
        for tool in ("Xvfb", "dbus-run-session"):
            if not shutil.which(tool):
                skip(f"{tool} is missing")
        if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
            skip("at-spi2-core is missing")
        if subprocess.run(["/usr/bin/python3", "-c", "import pyatspi"], capture_output=True).returncode != 0:
            skip("python3-pyatspi is missing")
        # A session bus of its own, so the accessibility bus is ours too.
        return subprocess.call(["dbus-run-session", "--", "/usr/bin/python3", __file__] + sys.argv[1:],
                               env=dict(os.environ, KIVO_ATSPI_SESSION="1"))
    return session(sys.argv[1], sys.argv[2])


if __name__ == "__main__":
    sys.exit(main())
