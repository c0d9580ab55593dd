#!/usr/bin/python3
"""Finding partners by name, through a real Avahi daemon confined to a network namespace.

As root: starts a system D-Bus when none answers, stops any other avahi-daemon for the run (only
one may own org.freedesktop.Avahi on the system bus, which every namespace shares) and starts it
again at the end, and runs one avahi-daemon in namespace nearby-test with allow-interfaces set to
one end of a veth pair there, with its own configuration and runtime folder. The Tandems and the
avahi tools run in that namespace too, so no mDNS leaves it.

usage: nearby.py --tandem PATH
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "rig"))
from rig import Peer, sh, stop  # noqa: E402

NS = "nearby-test"
BUS = "/run/dbus/system_bus_socket"
HOW = ("start one as root: 'rm -f /run/dbus/system_bus_socket; dbus-daemon --system --fork', then "
       "'avahi-daemon -D' (Debian packages dbus, avahi-daemon and avahi-utils; scripts/setup "
       "installs them)")


def bus(method, *args):
    """A call to the bus itself; its reply's last word, or None when the bus does not answer."""
    r = sh("dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
           "/org/freedesktop/DBus", "org.freedesktop.DBus." + method, *args, check=False)
    return r.stdout.split()[-1] if r.returncode == 0 and r.stdout.split() else None


def avahi_pid():
    """The process that owns the Avahi name on the bus, or None."""
    if bus("NameHasOwner", "string:org.freedesktop.Avahi") != "true":
        return None
    pid = bus("GetConnectionUnixProcessID", "string:org.freedesktop.Avahi")
    return int(pid) if pid and pid.isdigit() else None


def wait_for(condition, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


class Env:
    def __init__(self, tandem):
        self.tandem = tandem
        self.work = tempfile.mkdtemp(prefix="nearby-")
        self.bus = None       # the D-Bus we started
        self.restore = None   # the command line of the avahi-daemon we stopped
        self.avahi = None
        self.peers = []

    def setup(self):
        if bus("GetId") is None:
            # A stale socket or pid file keeps dbus-daemon from starting.
            for stale in (BUS, "/run/dbus/pid"):
                sh("rm", "-f", stale)
            os.makedirs("/run/dbus", exist_ok=True)
            r = sh("dbus-daemon", "--system", "--fork", "--print-pid", check=False)
            if r.returncode != 0 or not wait_for(lambda: bus("GetId") is not None, 5):
                raise SystemExit(f"nearby: no system D-Bus and none could be started ({r.stderr}); "
                                 + HOW)
            self.bus = int(r.stdout.split()[0])
        other = avahi_pid()
        if other:
            with open(f"/proc/{other}/cmdline", "rb") as f:
                self.restore = [a.decode() for a in f.read().split(b"\0") if a]
            os.kill(other, signal.SIGTERM)
            if not wait_for(lambda: avahi_pid() is None, 10):
                raise SystemExit("nearby: another avahi-daemon keeps the bus name")
        sh("ip", "netns", "del", NS, check=False)
        sh("ip", "netns", "add", NS)
        for cmd in (["link", "set", "dev", "lo", "up"],
                    ["link", "add", "nb0", "type", "veth", "peer", "name", "nb1"],
                    ["addr", "add", "10.77.0.1/24", "dev", "nb0"],
                    ["addr", "add", "10.77.0.2/24", "dev", "nb1"],
                    ["link", "set", "dev", "nb0", "up"], ["link", "set", "dev", "nb1", "up"]):
            sh("ip", "-n", NS, *cmd)

    def start_avahi(self):
        conf = os.path.join(self.work, "avahi-daemon.conf")
        with open(conf, "w") as f:
            f.write("[server]\nuse-ipv4=yes\nuse-ipv6=yes\nallow-interfaces=nb0\n"
                    "enable-dbus=yes\n[wide-area]\nenable-wide-area=no\n"
                    "[publish]\npublish-workstation=no\npublish-hinfo=no\n")
        run = os.path.join(self.work, "run")
        os.makedirs(run, exist_ok=True)
        os.makedirs("/run/avahi-daemon", exist_ok=True)
        # Its pid file and socket go to a folder of ours, mounted where it looks for them in a
        # mount namespace of its own: a system daemon's are left alone.
        script = (f"mount --bind {run} /run/avahi-daemon && exec avahi-daemon -f {conf} "
                  "--no-drop-root --no-chroot --no-rlimits")
        log = open(os.path.join(self.work, "avahi.log"), "a")
        self.avahi = subprocess.Popen(["ip", "netns", "exec", NS, "unshare", "-m", "sh", "-c",
                                       script], stdout=log, stderr=subprocess.STDOUT)
        if not wait_for(lambda: avahi_pid() is not None, 10):
            raise SystemExit("nearby: avahi-daemon did not start: " + self.avahi_log() + "; " + HOW)
        # Clients reach whoever owns the name: it must be the daemon in our namespace.
        if avahi_pid() != self.avahi.pid:
            raise SystemExit(f"nearby: the Avahi name belongs to {avahi_pid()}, not ours")

    def stop_avahi(self):
        if self.avahi:
            stop(self.avahi)
            self.avahi = None
        wait_for(lambda: avahi_pid() is None, 10)

    def avahi_log(self):
        with open(os.path.join(self.work, "avahi.log")) as f:
            return " | ".join(f.read().splitlines()[-5:])

    def peer(self, *args):
        p = Peer(NS, [self.tandem, "--headless", "--midi-api", "none", "--midi-out", "none"]
                 + list(args))
        self.peers.append(p)
        return p

    def close(self):
        for p in self.peers:
            p.stop()
        self.stop_avahi()
        sh("ip", "netns", "del", NS, check=False)
        if self.bus:
            os.kill(self.bus, signal.SIGTERM)
        if self.restore:
            subprocess.Popen(self.restore, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.work, ignore_errors=True)


def browsed(env, kind, name, port):
    """Whether avahi-browse resolves the session `name` of type `kind` on `port`."""
    out = sh("ip", "netns", "exec", NS, "avahi-browse", "-rtp", kind, check=False, timeout=30).stdout
    out = re.sub(r"\\(\d{3})", lambda m: chr(int(m.group(1))), out)  # its \DDD escapes
    return any(f.startswith("=;") and f.split(";")[3] == name and f.split(";")[8] == str(port)
               for f in out.splitlines() if f.count(";") >= 8)


def without_daemon(env):
    """No daemon: both front ends start, say so, and the session runs as ever."""
    p = env.peer("--nearby")
    if not p.wait(r"^Nearby: unavailable \(no Avahi daemon\)", 15):
        return "headless did not say unavailable: " + " | ".join(p.seen[-5:])
    if not p.wait(r"^RTP Status: (RTP Initialisé|envoi correct)", 10):
        return "no session without the daemon: " + " | ".join(p.seen[-5:])
    p.stop()
    shot = os.path.join(env.work, "window.png")
    r = sh("ip", "netns", "exec", NS, "env", "QT_QPA_PLATFORM=offscreen", env.tandem,
           "--screenshot", shot, check=False, timeout=60)
    if "Nearby: unavailable (no Avahi daemon)" not in r.stdout or not os.path.exists(shot):
        return f"the window did not say unavailable: {r.stdout} {r.stderr}"
    return None


def two_tandems(env):
    a = env.peer("--nearby", "--accept-any", "--listen-port", "5100", "--send-port", "5102")
    line = a.wait(r"^Nearby: announced as ", 15)
    if not line:
        return "A not announced: " + " | ".join(a.seen[-5:]) + env.avahi_log()
    name_a = line.split(" as ", 1)[1]
    started = time.monotonic()
    b = env.peer("--nearby", "--dest", name_a, "--listen-port", "5200", "--send-port", "9",
                 "--gen", "1", "--gen-interval", "20")
    if not b.wait(r"^Nearby: chose " + re.escape(name_a) + r" · Tandem · 10\.77\.0\.1:5100$", 15):
        return "B did not choose A by name: " + " | ".join(l for l in b.seen if "Nearby" in l)
    line = b.wait(r"^Nearby: announced as ", 15)
    if not line:
        return "B not announced: " + " | ".join(b.seen[-5:])
    name_b = line.split(" as ", 1)[1]
    if name_b == name_a:
        return "two sessions announced under one name"
    if not a.wait(r"^Nearby: \+ " + re.escape(name_b) + r" · Tandem · 10\.77\.0\.1:5200$", 15):
        return "A does not list B: " + " | ".join(a.seen[-8:])
    seen = time.monotonic() - started
    if not wait_for(lambda: a.received() > 10, 15):
        return "B's notes did not reach A through the chosen entry"
    # The one that leaves goes from the list.
    gone = time.monotonic()
    b.stop()
    if not a.wait(r"^Nearby: - " + re.escape(name_b) + "$", 15):
        return "B still listed after it stopped"
    print(f"nearby: {name_a!r} and {name_b!r} saw each other {seen:.2f} s after B started; "
          f"B gone from A's list {time.monotonic() - gone:.2f} s after it stopped", flush=True)
    # An RTP-MIDI session announced by another program.
    pub = subprocess.Popen(["ip", "netns", "exec", NS, "avahi-publish", "-s", "Studio Mac",
                            "_apple-midi._udp", "5004"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    try:
        if not a.wait(r"^Nearby: \+ Studio Mac · RTP-MIDI · 10\.77\.0\.1:5004$", 15):
            return "the published RTP-MIDI session is not listed: " + " | ".join(a.seen[-5:])
    finally:
        stop(pub)
    if not a.wait(r"^Nearby: - Studio Mac$", 15):
        return "the RTP-MIDI session stayed listed after it was withdrawn"
    # Our RTP-MIDI session is announced as one, where Macs look, and never as our own wire.
    r = env.peer("--protocol", "rtpmidi", "--session-name", "Tandem RTP", "--listen-port", "5006")
    if not r.wait(r"^Nearby: announced as Tandem RTP$", 15):
        return "the RTP-MIDI session was not announced: " + " | ".join(r.seen[-5:])
    if not a.wait(r"^Nearby: \+ Tandem RTP · RTP-MIDI · 10\.77\.0\.1:5006$", 15):
        return "A does not list the RTP-MIDI session: " + " | ".join(a.seen[-5:])
    if not browsed(env, "_apple-midi._udp", "Tandem RTP", 5006):
        return "avahi-browse does not see the RTP-MIDI session"
    if browsed(env, "_tandem._udp", "Tandem RTP", 5006):
        return "the RTP-MIDI session is announced as our own wire too"
    r.stop()
    # Losing the daemon is said, and the session goes on.
    env.stop_avahi()
    if not a.wait(r"^Nearby: unavailable \(the Avahi daemon stopped\)", 15):
        return "losing the daemon was not said: " + " | ".join(a.seen[-5:])
    # And its return: the session is announced again.
    a.seen.clear()
    env.start_avahi()
    if not a.wait(r"^Nearby: announced as ", 15):
        return "not announced again when the daemon came back: " + " | ".join(a.seen[-5:])
    a.stop()
    if a.proc.returncode != 0:
        return f"A ended with status {a.proc.returncode} after the daemon went"
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tandem", required=True)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("nearby: needs root, to start an Avahi daemon in a network namespace; " + HOW)
        return 1
    missing = [t for t in ("ip", "unshare", "dbus-daemon", "dbus-send", "avahi-daemon",
                           "avahi-publish", "avahi-browse") if not shutil.which(t)]
    if missing:
        print(f"nearby: {', '.join(missing)} missing; " + HOW)
        return 1
    env = Env(os.path.abspath(args.tandem))
    failed = 0
    try:
        env.setup()
        for name, case in (("without-daemon", without_daemon), ("two-tandems", two_tandems)):
            if case is two_tandems:
                env.start_avahi()
            outcome = case(env)
            print(f"nearby: {name}: {'ok' if outcome is None else 'FAILED: ' + outcome}", flush=True)
            failed += outcome is not None
    except SystemExit as e:
        print(e, flush=True)
        failed += 1
    finally:
        env.close()
    return 1 if failed else 0

if __name__ == "__main__":
    sys.exit(main())
