#!/usr/bin/env python3
"""Writes the program's four WAVE sounds, synthesised from sine tones.

    make-sounds.py OUTDIR

linkup.wav (141) and linkdown.wav (139): stereo, 44100 Hz, 16-bit, about 2.2 s
and 2.9 s. connectable.wav (140) and notconnectable.wav (142): stereo,
11025 Hz, 8-bit, about 4.0 s and 4.8 s.
"""
import array
import math
import os
import sys
import wave


def render(notes, rate, seconds, pan=0.0):
    """notes: (start s, length s, frequency Hz, level 0..1). Returns float frames."""
    total = int(rate * seconds)
    left = [0.0] * total
    right = [0.0] * total
    for start, length, freq, level in notes:
        first = int(start * rate)
        count = min(int(length * rate), total - first)
        step = 2.0 * math.pi * freq / rate
        attack = max(1, int(0.01 * rate))
        for i in range(count):
            # A short attack, then an exponential decay: a bell-like note.
            env = min(1.0, i / attack) * math.exp(-3.0 * i / count)
            v = level * env * (math.sin(step * i) + 0.3 * math.sin(2 * step * i))
            left[first + i] += v * (1.0 - pan)
            right[first + i] += v * (1.0 + pan)
    # Fade the last 50 ms to silence.
    fade = int(0.05 * rate)
    for i in range(fade):
        g = i / fade
        left[total - 1 - i] *= g
        right[total - 1 - i] *= g
    return left, right


def write(path, rate, width, frames):
    left, right = frames
    peak = max(1e-9, max(max(abs(x) for x in left), max(abs(x) for x in right)))
    scale = 0.8 / peak
    if width == 2:
        data = array.array("h")
        for a, b in zip(left, right):
            data.append(int(a * scale * 32767))
            data.append(int(b * scale * 32767))
        if sys.byteorder == "big":
            data.byteswap()
        raw = data.tobytes()
    else:
        data = array.array("B")
        for a, b in zip(left, right):
            data.append(128 + int(a * scale * 127))
            data.append(128 + int(b * scale * 127))
        raw = data.tobytes()
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(raw)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    # Link up: a rising major arpeggio.
    up = [(0.00, 1.2, 523.25, 0.6), (0.25, 1.2, 659.25, 0.6), (0.50, 1.6, 783.99, 0.6), (0.75, 1.4, 1046.5, 0.5)]
    write(os.path.join(out, "linkup.wav"), 44100, 2, render(up, 44100, 2.2))
    # Link down: a falling minor line, slower.
    down = [(0.00, 1.4, 783.99, 0.6), (0.45, 1.4, 622.25, 0.6), (0.90, 1.6, 523.25, 0.6), (1.35, 1.5, 392.00, 0.6)]
    write(os.path.join(out, "linkdown.wav"), 44100, 2, render(down, 44100, 2.9))
    # Contact connectable: two bright chimes, panned right.
    ok = [(0.0, 1.8, 880.0, 0.6), (0.4, 2.0, 1318.5, 0.5), (1.6, 2.3, 1760.0, 0.4)]
    write(os.path.join(out, "connectable.wav"), 11025, 1, render(ok, 11025, 4.0, 0.2))
    # Contact not connectable: low double knock, panned left.
    ng = [(0.0, 1.5, 220.0, 0.7), (0.35, 1.5, 207.65, 0.7), (1.8, 2.9, 174.61, 0.6)]
    write(os.path.join(out, "notconnectable.wav"), 11025, 1, render(ng, 11025, 4.8, -0.2))


if __name__ == "__main__":
    main()
