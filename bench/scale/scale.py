#!/usr/bin/env python3
"""Trace readers of the scale benchmark (run.sh). Every mode ends by itself.

  scale.py ready --timeout S --peer JID --apps K TRACE...
      follows each program trace until JID is in the newest CONNECTABLE list
      of K applications; prints how many traces got there within S seconds
  scale.py connect --timeout S PID:TRACE...
      presses the connect button of every client program at once (SIGUSR1
      to PID), then follows each TRACE from where it was at the press until
      a LAMPS line shows all five services listening (its streams up);
      prints, in the order given, the seconds from the press for each, or
      "none" when not within S
  scale.py streams --timeout S [--until N] TRACE
      the streams the program of TRACE has open: the sum, over its
      applications, of the newest "APPLICATION <n> STREAMS <h>:<id> ..."
      list it got; with --until, follows TRACE until the sum is N or S
      seconds have passed. Prints the sum, with "+" after it when a list was
      cut short in the trace (the trace shows 512 bytes of a message)
"""
import argparse
import os
import re
import signal
import sys
import time

POLL = 0.02
CUT = 512  # bytes of a message the program's trace shows
MESSAGE = re.compile(rb"^->\(\d+\): (.*)$")
STREAMS = re.compile(rb"^APPLICATION (\S+) STREAMS ?(.*)$")
CONNECTABLE = re.compile(rb"^APPLICATION (\S+) CONNECTABLE ?(.*)$")
ALL_UP = re.compile(rb"^LAMPS 0:L.. 0d:... 1:L.. 2:L.. 3:L.. 4:L..")


class Follower:
    """The complete lines a growing file gets, from an offset on."""

    def __init__(self, path, from_end=False):
        self.path = path
        self.offset = os.path.getsize(path) if from_end and os.path.exists(path) else 0
        self.rest = b""

    def lines(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return []
        self.offset += len(data)
        parts = (self.rest + data).split(b"\n")
        self.rest = parts.pop()
        return parts


def message(line):
    m = MESSAGE.match(line)
    return m.group(1) if m else None


def ready(args):
    followers = [Follower(t) for t in args.traces]
    lists = [{} for _ in followers]
    done = set()
    peer = args.peer.encode()
    deadline = time.monotonic() + args.timeout
    while len(done) < len(followers) and time.monotonic() < deadline:
        for i, f in enumerate(followers):
            if i in done:
                continue
            for line in f.lines():
                m = CONNECTABLE.match(message(line) or b"")
                if m:
                    lists[i][m.group(1)] = peer in m.group(2).split()
            if sum(lists[i].values()) >= args.apps:
                done.add(i)
        time.sleep(POLL)
    print(len(done))


def connect(args):
    clients = []
    for client in args.clients:
        pid, trace = client.split(":", 1)
        clients.append((int(pid), Follower(trace, from_end=True)))
    start = time.monotonic()
    for pid, _ in clients:
        try:
            os.kill(pid, signal.SIGUSR1)
        except ProcessLookupError:
            pass
    up = [None] * len(clients)
    deadline = start + args.timeout
    while None in up and time.monotonic() < deadline:
        for i, (_, f) in enumerate(clients):
            if up[i] is None and any(ALL_UP.match(line) for line in f.lines()):
                up[i] = time.monotonic() - start
        time.sleep(POLL)
    print(" ".join("none" if t is None else "%.2f" % t for t in up))


def streams(args):
    f = Follower(args.trace)
    lists = {}
    deadline = time.monotonic() + args.timeout
    while True:
        for line in f.lines():
            text = message(line)
            m = STREAMS.match(text or b"")
            if m:
                lists[m.group(1)] = (len(m.group(2).split()), len(text) >= CUT)
        total = sum(n for n, _ in lists.values())
        if args.until is None or total == args.until or time.monotonic() >= deadline:
            break
        time.sleep(0.1)
    print("%d%s" % (total, "+" if any(cut for _, cut in lists.values()) else ""))


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="mode", required=True)
    r = sub.add_parser("ready")
    r.add_argument("--timeout", type=float, required=True)
    r.add_argument("--peer", required=True)
    r.add_argument("--apps", type=int, default=5)
    r.add_argument("traces", nargs="+")
    c = sub.add_parser("connect")
    c.add_argument("--timeout", type=float, required=True)
    c.add_argument("clients", nargs="+", metavar="PID:TRACE")
    s = sub.add_parser("streams")
    s.add_argument("--timeout", type=float, default=0)
    s.add_argument("--until", type=int)
    s.add_argument("trace")
    args = p.parse_args()
    {"ready": ready, "connect": connect, "streams": streams}[args.mode](args)


if __name__ == "__main__":
    sys.exit(main())
