#!/usr/bin/env python3
"""Fails when a file under src/ includes one from a layer above its own.

Layers, bottom to top; folders on one line share a level and may include each other.
"""
import re
import sys
from pathlib import Path

# rtpmidi: the RTP-MIDI session protocol, its payload and its journal (protocol code, no I/O).
LAYERS = [
    {"platform"},
    {"midi", "audio", "record"},
    {"net"},
    {"rtp", "rtpmidi"},
    {"events"},
    {"model"},
    {"sources", "send", "transport", "playback"},
    {"app"},
    {"gui", "headless"},
]
LEVEL = {folder: i for i, level in enumerate(LAYERS) for folder in level}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/')


def main(src: Path) -> int:
    bad = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp") or path.parent == src:
            continue
        own = path.relative_to(src).parts[0]
        if own not in LEVEL:
            bad.append(f"{path}: folder '{own}' is in no layer")
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            m = INCLUDE.match(line)
            if m and m.group(1) in LEVEL and LEVEL[m.group(1)] > LEVEL[own]:
                bad.append(f"{path}:{number}: {own} includes {m.group(1)}, a layer above it")
    print("\n".join(bad) if bad else "includes run one way")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1] if len(sys.argv) > 1 else "src")))
