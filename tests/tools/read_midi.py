#!/usr/bin/python3
"""Reads MIDI files with mido and prints what a test compares, one line per item.

  H <file> <type> <tracks> <ticks per beat>
  M <file> <track> <ms> <status> <data1> <data2>   every channel message (--summary: the last)
  N <file> <track> <count>                         channel messages in the track
  E <file> <why>                                   the file cannot be read

Times are in milliseconds through the file's own tempo, as a player would place the events.
"""
import sys

import mido


def main(args):
    summary = args[:1] == ["--summary"]
    for index, path in enumerate(args[1:] if summary else args):
        try:
            midi = mido.MidiFile(path)
        except Exception as e:  # a reader error of any kind is the finding
            print(f"E {index} {type(e).__name__}: {e}".replace("\n", " "))
            continue
        print(f"H {index} {midi.type} {len(midi.tracks)} {midi.ticks_per_beat}")
        tempo = 500000
        for track_index, track in enumerate(midi.tracks):
            tick = 0
            lines = []
            for msg in track:
                tick += msg.time
                if msg.is_meta:
                    if msg.type == "set_tempo":
                        tempo = msg.tempo
                    continue
                ms = round(mido.tick2second(tick, midi.ticks_per_beat, tempo) * 1000)
                data = list(msg.bytes()) + [0, 0]
                lines.append(f"M {index} {track_index} {ms} {data[0]} {data[1]} {data[2]}")
            print(f"N {index} {track_index} {len(lines)}")
            for line in lines[-1:] if summary else lines:
                print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
