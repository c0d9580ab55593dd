#!/usr/bin/python3
"""Plays a random performance into one JACK MIDI port and records what comes out of another.

usage: two_hosts_player.py SOURCE_PORT RESULT_PORT NOTES SEED [QUIET_SECONDS]

Notes last 50 to 800 ms, a third of the onsets are chords of 2 to 4 keys, about 10 notes a second;
a key is never struck again while it is held. After the performance and the quiet time it prints
one line: note-ons sent, note-ons played, and the keys the result port left sounding.
"""
import random
import sys
import threading
import time

import jack

source, result, notes, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
quiet = float(sys.argv[5]) if len(sys.argv) > 5 else 6.0
rng = random.Random(seed)

client = jack.Client("two-hosts-player", no_start_server=True)
out = client.midi_outports.register("out")
inp = client.midi_inports.register("in")
lock = threading.Lock()
pending = []   # filled by the main thread, written by the process callback
received = []  # appended by the process callback only


@client.set_process_callback
def process(frames):
    out.clear_buffer()
    with lock:
        events = pending[:]
        del pending[:]
    for message in events:
        out.write_midi_event(0, bytes(message))
    for _, data in inp.incoming_midi_events():
        received.append(bytes(data))


def performance():
    events = []
    t = 0.0
    made = 0
    while made < notes:
        keys = rng.sample(range(36, 96), 1 if rng.random() < 2 / 3 else rng.randint(2, 4))
        for key in keys:
            events.append((t, (0x90, key, rng.randint(40, 120))))
            events.append((t + rng.uniform(0.05, 0.8), (0x80, key, 0)))
            made += 1
        t += rng.expovariate(10.0 / 1.67)
    return sorted(events, key=lambda e: e[0])


with client:
    client.connect(out, source)
    client.connect(result, inp)
    time.sleep(1.0)
    start = time.monotonic()
    held = set()
    sent_on = 0
    for when, message in performance():
        delay = start + when - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        key = message[1]
        if message[0] == 0x90:
            if key in held:
                continue
            held.add(key)
            sent_on += 1
        else:
            if key not in held:
                continue
            held.discard(key)
        with lock:
            pending.append(message)
    time.sleep(quiet)

sounding = set()
played_on = 0
for m in received:
    kind = m[0] & 0xF0
    if kind == 0x90 and len(m) > 2 and m[2] > 0:
        sounding.add(m[1])
        played_on += 1
    elif kind == 0x80 or kind == 0x90:
        sounding.discard(m[1])
    elif kind == 0xB0 and len(m) > 1 and m[1] in (120, 123):
        sounding.clear()
print(f"{sent_on} {played_on} {len(sounding)} {sorted(sounding)}")
