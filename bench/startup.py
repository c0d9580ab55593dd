#!/usr/bin/env python3
"""Time from process start to "RTP Initialisé" for a headless peer whose output is the built-in
synthesizer rendering to a file, so the sound font is opened at start-up as in the window.

usage: bench/startup.py [--tandem PATH] [--runs N] [--cold]
--cold drops the page cache before each run (root only), so the sound font is read from disk.
"""
import argparse
import os
import statistics
import subprocess
import tempfile
import time


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tandem", default="build/tandem")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--cold", action="store_true")
    args = parser.parse_args()
    times = []
    with tempfile.TemporaryDirectory() as scratch:
        for i in range(args.runs):
            if args.cold:
                drop_caches()
            port = 21000 + 2 * i
            start = time.monotonic()
            peer = subprocess.Popen(
                [args.tandem, "--headless", "--midi-api", "none", "--listen-port", str(port),
                 "--send-port", str(port + 100), "--render", os.path.join(scratch, f"{i}.wav")],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                text=True)
            for line in peer.stdout:
                if "RTP Initialisé" in line:
                    times.append(time.monotonic() - start)
                    break
            peer.terminate()
            peer.wait()
    if not times:
        print("no run reached \"RTP Initialisé\"")
        return 1
    print("start-up to \"RTP Initialisé\" (s): " + " ".join(f"{t:.3f}" for t in times))
    print(f"min {min(times):.3f}  median {statistics.median(times):.3f}  max {max(times):.3f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
