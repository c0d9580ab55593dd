#!/usr/bin/python3
"""Two homes behind routers, joined by an "internet", in network namespaces; a peer in each home.

Each home is a host and a router with the same private subnet (192.168.1.0/24), the router
translating with nftables masquerade like a home router ("ordinary": the source port is kept when
free), or with `masquerade fully-random` like a carrier-grade NAT (a new port per destination).
Routers forget an idle UDP mapping after 30 s. The internet uses 203.0.113.0/24; a "server"
namespace on it runs coturn as STUN and TURN server.

usage: rig.py --tandem PATH [CASE...]   (needs root, ip, nft; exits 77 when it cannot run)
Cases run side by side, each in namespaces of its own named ice-<case>-* (or $RIG_PREFIX<case>-*).
"""
import argparse
import base64
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
LAN_HOST, LAN_ROUTER = "192.168.1.2", "192.168.1.1"
WAN = {"a": "203.0.113.10", "b": "203.0.113.20"}
SERVER = "203.0.113.100"
# IPv6: each home its own prefix, no translation; the routers' firewalls let in only replies.
WAN6 = {"a": "2001:db8::10", "b": "2001:db8::20"}
HOME6 = {"a": "2001:db8:a::", "b": "2001:db8:b::"}


def sh(*args, check=True, **kw):
    return subprocess.run(args, check=check, capture_output=True, text=True, **kw)


def stop(proc):
    """SIGTERM, and SIGKILL when that was not enough within 20 s."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Rig:
    """The namespaces of one case; `close` removes them by name."""

    def __init__(self, case, routers, forward_a=False, server=False):
        self.prefix = os.environ.get("RIG_PREFIX", "ice-") + case + "-"
        self.names = []
        self.procs = []
        self.close()  # what a killed earlier run left behind
        try:
            self.build(routers, forward_a, server)
        except BaseException:
            self.close()
            raise

    def build(self, routers, forward_a, server):
        self.net = self.ns("net")
        sh("ip", "-n", self.net, "link", "add", "br0", "type", "bridge")
        sh("ip", "-n", self.net, "link", "set", "dev", "br0", "up")
        for side, kind in zip("ab", routers):
            if kind == "v6":
                self.home6(side)
            else:
                self.home(side, kind, forward_a and side == "a")
        if server:
            s = self.ns("srv")
            self.wire(s, "wan", SERVER + "/24")
            # Like a server on the internet, a way out for any address: else coturn closes an
            # allocation that relays a check to a private address ("network unreachable").
            sh("ip", "-n", s, "route", "add", "default", "dev", "wan")

    def ns(self, name):
        full = self.prefix + name
        sh("ip", "netns", "add", full)
        sh("ip", "-n", full, "link", "set", "dev", "lo", "up")
        # Fresh links checking for duplicate addresses delay IPv6 neighbours; long-up links don't.
        for conf in ("all", "default"):
            sh("ip", "netns", "exec", full, "sysctl", "-qw", f"net.ipv6.conf.{conf}.accept_dad=0")
        self.names.append(full)
        return full

    def wire(self, ns, dev, address):
        """A link from `ns` to the internet's bridge."""
        peer = "p" + str(len(self.names))
        sh("ip", "-n", ns, "link", "add", dev, "type", "veth", "peer", "name", peer, "netns", self.net)
        sh("ip", "-n", self.net, "link", "set", "dev", peer, "master", "br0", "up")
        sh("ip", "-n", ns, "addr", "add", address, "dev", dev)
        sh("ip", "-n", ns, "link", "set", "dev", dev, "up")

    def home(self, side, kind, forward):
        host, router = self.ns("h" + side), self.ns("r" + side)
        sh("ip", "-n", host, "link", "add", "lan", "type", "veth", "peer", "name", "lan", "netns", router)
        for ns, address in ((host, LAN_HOST), (router, LAN_ROUTER)):
            sh("ip", "-n", ns, "addr", "add", address + "/24", "dev", "lan")
            sh("ip", "-n", ns, "link", "set", "dev", "lan", "up")
        sh("ip", "-n", host, "route", "add", "default", "via", LAN_ROUTER)
        self.wire(router, "wan", WAN[side] + "/24")
        sh("ip", "netns", "exec", router, "sysctl", "-qw", "net.ipv4.ip_forward=1")
        random = " fully-random" if kind == "cgnat" else ""
        # Like a home router, nothing unasked-for from outside reaches the router itself: dropped
        # before conntrack confirms it, so it cannot take the port of a mapping made later.
        dnat = f"udp dport 2000-2001 dnat to {LAN_HOST}" if forward else ""
        rules = f"""
table ip nat {{
  chain pre {{
    type nat hook prerouting priority dstnat;
    {dnat}
  }}
  chain post {{
    type nat hook postrouting priority srcnat;
    oifname "wan" masquerade{random}
  }}
}}
table inet filter {{
  chain input {{
    type filter hook input priority filter;
    iifname "wan" ct state new drop
  }}
}}
"""
        sh("ip", "netns", "exec", router, "nft", "-f", "-", input=rules)
        for key in ("nf_conntrack_udp_timeout", "nf_conntrack_udp_timeout_stream"):
            sh("ip", "netns", "exec", router, "sysctl", "-qw", f"net.netfilter.{key}=30")

    def home6(self, side):
        """A home on IPv6 only, behind a router with a stateful firewall."""
        host, router = self.ns("h" + side), self.ns("r" + side)
        other = "b" if side == "a" else "a"
        sh("ip", "-n", host, "link", "add", "lan", "type", "veth", "peer", "name", "lan", "netns", router)
        for ns, address in ((host, HOME6[side] + "2"), (router, HOME6[side] + "1")):
            sh("ip", "-n", ns, "-6", "addr", "add", address + "/64", "dev", "lan", "nodad")
            sh("ip", "-n", ns, "link", "set", "dev", "lan", "up")
        sh("ip", "-n", host, "-6", "route", "add", "default", "via", HOME6[side] + "1")
        peer = "p" + str(len(self.names))
        sh("ip", "-n", router, "link", "add", "wan", "type", "veth", "peer", "name", peer, "netns", self.net)
        sh("ip", "-n", self.net, "link", "set", "dev", peer, "master", "br0", "up")
        sh("ip", "-n", router, "-6", "addr", "add", WAN6[side] + "/64", "dev", "wan", "nodad")
        sh("ip", "-n", router, "link", "set", "dev", "wan", "up")
        sh("ip", "-n", router, "-6", "route", "add", HOME6[other] + "/64", "via", WAN6[other])
        sh("ip", "netns", "exec", router, "sysctl", "-qw", "net.ipv6.conf.all.forwarding=1")
        rules = """
table ip6 filter {
  chain forward {
    type filter hook forward priority filter; policy drop;
    ct state established,related accept
    iifname "lan" accept
  }
}
"""
        sh("ip", "netns", "exec", router, "nft", "-f", "-", input=rules)

    def start(self, side, args):
        p = Peer(self.prefix + "h" + side, args)
        self.procs.append(p)
        return p

    def close(self):
        for p in getattr(self, "procs", []):
            p.stop()
        listed = sh("ip", "netns", "list", check=False).stdout
        for line in listed.splitlines():
            name = line.split()[0] if line.split() else ""
            if name.startswith(self.prefix):
                sh("ip", "netns", "del", name, check=False)


class Peer:
    """A headless tandem in a namespace; its output lines are collected as they come."""

    def __init__(self, ns, args):
        self.lines = queue.Queue()
        self.seen = []
        logs = os.environ.get("RIG_LOGS")
        self.log = open(os.path.join(logs, ns + ".log"), "w") if logs else None
        self.proc = subprocess.Popen(["ip", "netns", "exec", ns] + args, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                     bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
            if self.log:
                self.log.write(f"{time.monotonic():.3f} {line}")
                self.log.flush()

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def wait(self, pattern, seconds):
        """The first line (seen before or coming within `seconds`) matching the pattern."""
        rx = re.compile(pattern)
        for line in self.seen:
            if rx.search(line):
                return line
        end = time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0:
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                break
            self.seen.append(line)
            if rx.search(line):
                return line
        return None

    def received(self):
        while not self.lines.empty():
            self.seen.append(self.lines.get())
        counts = [int(m.group(1)) for m in map(re.compile(r"^# Received: (\d+)").match, self.seen) if m]
        return counts[-1] if counts else 0

    def stop(self):
        stop(self.proc)


def tandem_args(tandem, *extra):
    return [tandem, "--headless", "--midi-api", "none", "--midi-out", "none"] + list(extra)


def notes_both_ways(a, b, seconds=15):
    """Each side counts 40 packets within `seconds`: more than the two buffer announcements a
    second could make alone, so notes came through."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if a.received() >= 40 and b.received() >= 40:
            return True
        time.sleep(0.2)
    return False


def typed_case(tandem, case, b_router, passphrase=False):
    """A forwards its port pair 2000/2001; B types A's public address and is heard back. With
    `passphrase` as well, A's handshake must find B at the port B's router gave it."""
    rig = Rig(case, ("home", b_router), forward_a=True)
    secret = tempfile.NamedTemporaryFile("w")
    secret.write("correct horse battery staple\n")
    secret.flush()
    more = ["--passphrase-file", secret.name] if passphrase else []
    try:
        a = rig.start("a", tandem_args(tandem, "--listen-port", "2000", "--send-port", "3000",
                                       "--dest", WAN["b"], "--gen", "1", *more))
        if not a.wait("RTP Initialisé", 60):
            return "A did not start"
        b = rig.start("b", tandem_args(tandem, "--listen-port", "3000", "--send-port", "2000",
                                       "--dest", WAN["a"], "--gen", "1", *more))
        if not b.wait("RTP Initialisé", 60):
            return "B did not start"
        if not notes_both_ways(a, b):
            return f"notes one way only: A received {a.received()}, B received {b.received()}"
        return None
    finally:
        rig.close()
        secret.close()


def start_coturn(rig, workdir):
    logs = os.environ.get("RIG_LOGS")
    log = open(os.path.join(logs or workdir, rig.prefix + "coturn.log" if logs else "coturn.log"), "w")
    p = subprocess.Popen(["ip", "netns", "exec", rig.prefix + "srv", "turnserver", "-n",
                          f"--listening-ip={SERVER}", f"--relay-ip={SERVER}", "--lt-cred-mech",
                          "--user=tandem:secret", "--realm=tandem.test", "--no-tls", "--no-dtls",
                          "--no-cli", "--log-file=stdout", "--simple-log", "--verbose",
                          f"--pidfile={workdir}/turn.pid", f"--db={workdir}/turndb"],
                         stdout=log, stderr=subprocess.STDOUT)
    rig.procs.append(Server(p))


class Server:
    def __init__(self, proc):
        self.proc = proc

    def stop(self):
        stop(self.proc)


def other_certificate(code):
    """The code with its certificate fingerprint changed, as if someone else answered as B."""
    raw = bytearray(base64.urlsafe_b64decode(code[2:] + "=" * (-len(code[2:]) % 4)))
    at = 1 + 8  # kind, invitation id
    for _ in range(2):  # ICE user fragment and password, each with its length first
        at += 1 + raw[at]
    assert raw[at] == 32, "no fingerprint in the code"
    raw[at + 1] ^= 0x01
    return code[:2] + base64.urlsafe_b64encode(bytes(raw)).decode().rstrip("=")


# The names (A's, B's) a case's path may have, as connected and as notes flow: B calls A's relay
# the partner's.
PUBLIC = {("direct (public address)",) * 2}
HOST = {("direct (host)",) * 2}
OURS, THEIRS = "relayed by our TURN server", "relayed by the partner's TURN server"
RELAYED = {(OURS, THEIRS), (THEIRS, OURS), ("relayed by our TURN server and the partner's",) * 2}


def ice_case(tandem, case, routers, expect, delay=0, cut=False, turn=True, forged=False,
             turn_b=True):
    """A invites, B joins; the answer reaches A `delay` seconds after the invitation. With `cut`,
    A's router drops everything for 5 s once notes flow, and the notes must flow again. With
    `forged`, the answer names another certificate than B's: A must refuse B and say so."""
    rig = Rig(case, routers, server=True)
    work = tempfile.mkdtemp(prefix="ice-rig-")
    try:
        password = os.path.join(work, "turn-password")
        with open(password, "w") as f:
            f.write("secret\n")
        start_coturn(rig, work)
        servers = ["--stun", f"{SERVER}:3478"]
        if turn:
            servers += ["--turn", f"{SERVER}:3478", "--turn-user", "tandem",
                        "--turn-password-file", password]
        a = rig.start("a", tandem_args(tandem, "--invite", *servers))
        line = a.wait(r"^Invitation: ", 30)
        if not line:
            return "no invitation: " + " | ".join(a.seen[-5:])
        started = time.monotonic()
        b = rig.start("b", tandem_args(tandem, "--join", "-", *(servers if turn_b else servers[:2])))
        b.send(line.split(": ", 1)[1])
        answer = b.wait(r"^Answer: ", 30)
        if not answer:
            return "no answer: " + " | ".join(b.seen[-5:])
        time.sleep(max(0, delay - (time.monotonic() - started)))
        code = answer.split(": ", 1)[1]
        a.send("/answer " + (other_certificate(code) if forged else code))
        pasted = time.monotonic()
        if forged:
            if not a.wait(r"^Connection: failed: certificate does not match", 45):
                return "no certificate failure: " + " | ".join(a.seen[-5:])
            a.send("/gen")
            time.sleep(3)
            if b.received() > 0:
                return f"B heard {b.received()} packets from A through a refused handshake"
            print(f"rig: {case}: refused", flush=True)
            return None
        modes = []
        for peer in (a, b):
            got = peer.wait(r"^Connection: (direct|relayed|failed)", 45)
            if not got or "failed" in got:
                return f"not connected: {got} | " + " | ".join(peer.seen[-5:])
            modes.append(got.split(": ", 1)[1])
        if tuple(modes) not in expect:
            return f"connected {modes}, expected one of {sorted(expect)}"
        connected = time.monotonic() - pasted
        for peer in (a, b):
            peer.send("/gen")
        # Keyed both ways: the generators' notes go out from here on.
        for peer in (a, b):
            peer.wait(r"^Security: certificate · handshake done", 30)
        keyed = time.monotonic() - pasted
        if not notes_both_ways(a, b):
            return f"notes one way only: A received {a.received()}, B received {b.received()}"
        # The certificates the two codes named keyed the session.
        for peer in (a, b):
            if not peer.wait(r"^Security: certificate · handshake done", 5):
                return "not keyed by the codes' certificates: " + " | ".join(peer.seen[-5:])
        if cut:
            router = rig.prefix + "ra"
            sh("ip", "netns", "exec", router, "nft", "-f", "-", input="""
table inet cut {
  chain forward { type filter hook forward priority -10; policy drop; }
  chain output { type filter hook output priority -10; policy drop; }
}
""")
            time.sleep(5)
            sh("ip", "netns", "exec", router, "nft", "delete", "table", "inet", "cut")
            before = (a.received(), b.received())
            for peer in (a, b):
                peer.send("/gen")
            end = time.monotonic() + 10
            while time.monotonic() < end and not (a.received() > before[0] + 40 and
                                                   b.received() > before[1] + 40):
                time.sleep(0.2)
            if not (a.received() > before[0] + 40 and b.received() > before[1] + 40):
                return (f"not back within 10 s: A {before[0]} -> {a.received()}, "
                        f"B {before[1]} -> {b.received()}")
        said = [[l[12:] for l in p.seen if re.match(r"Connection: (direct|relayed)", l)]
                for p in (a, b)]
        if (said[0][-1], said[1][-1]) not in expect:
            return f"the path's name changed: {said}"
        print(f"rig: {case}: {modes[0]} / {modes[1]}, connected {connected:.2f} s after the answer, "
              f"keyed both ways after {keyed:.2f} s", flush=True)
        return None
    finally:
        rig.close()
        shutil.rmtree(work, ignore_errors=True)


CASES = {
    "typed-home": lambda t: typed_case(t, "th", "home"),
    "typed-cgnat": lambda t: typed_case(t, "tc", "cgnat"),
    "typed-home-passphrase": lambda t: typed_case(t, "tp", "home", passphrase=True),
    "typed-cgnat-passphrase": lambda t: typed_case(t, "tq", "cgnat", passphrase=True),
    "invite-home": lambda t: ice_case(t, "ih", ("home", "home"), PUBLIC, turn=False),
    "invite-cgnat": lambda t: ice_case(t, "ic", ("cgnat", "cgnat"), RELAYED),
    "invite-mixed": lambda t: ice_case(t, "im", ("home", "cgnat"), RELAYED),
    # Only A's relay can carry, so it must have been kept alive for the 90 s.
    "invite-late": lambda t: ice_case(t, "il", ("cgnat", "cgnat"), {(OURS, THEIRS)}, delay=90,
                                      turn_b=False),
    "invite-cut": lambda t: ice_case(t, "ix", ("home", "home"), PUBLIC, cut=True, turn=False),
    "invite-home-turn": lambda t: ice_case(t, "it", ("home", "home"), PUBLIC),
    "invite-ipv6": lambda t: ice_case(t, "i6", ("v6", "v6"), HOST, turn=False),
    "invite-forged": lambda t: ice_case(t, "if", ("home", "home"), set(), turn=False, forged=True),
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tandem", required=True)
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()
    if os.geteuid() != 0 or not shutil.which("ip") or not shutil.which("nft"):
        print("rig: needs root, ip and nft; skipped")
        return SKIP
    names = args.cases or list(CASES)
    results = {}

    def run(name):
        try:
            results[name] = CASES[name](os.path.abspath(args.tandem))
        except Exception as e:  # a set-up step failed: report it as the case's failure
            results[name] = f"{type(e).__name__}: {e} {getattr(e, 'stderr', '') or ''}".strip()

    threads = [threading.Thread(target=run, args=(n,)) for n in names]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    failed = 0
    for name in names:
        outcome = results.get(name)
        print(f"rig: {name}: {'ok' if outcome is None else 'FAILED: ' + outcome}")
        failed += outcome is not None
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
