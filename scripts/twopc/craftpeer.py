#!/usr/bin/env python3
"""A hostile peer program for the access tests: it attaches to the local
messenger in place of corvanefortcp, opens (or waits for) a stream of one
application and sends packets that the real program never would.

  craftpeer.py --app NAME connect-to JID  STEP...
  craftpeer.py --app NAME wait-for JID    STEP...

connect-to opens the stream itself; wait-for creates the application and
waits for the peer's program to open it. Then each STEP runs in order:

  main-connect PORT      CONNECT-REQUEST of the main link; prints and checks
                         the CONNECT-REPLY
  datalink-connect PORT  CONNECT-REQUEST of the FTP data link, likewise
  ftp TEXT CODE          DATA on the main link (backslash escapes allowed),
                         then waits for DATA from the peer with a line that
                         begins with CODE (an FTP reply), printing each
  hold SECONDS           keeps the stream open that long
  pasv                   ftp "PASV\r\n" 227, and remembers the reply's port
                         for "datalink-connect announced"

A connect step prints "reply: port=P result=R error=E" and fails (exit 1)
unless the result is what --expect says for that step: each connect step
takes the next letter of --expect (a = accepted, r = refused). Exit 1 also
on a timeout (--timeout S in all). Packets: docs/packet_format.md.
"""
import argparse
import re
import socket
import struct
import sys
import time

sys.path.insert(0, __import__("os").path.dirname(__file__))
from apiprobe import read_frame, send_frame, attach  # noqa: E402

HEADER = 40
KIND_NULL, KIND_CONTROL, KIND_DL_CONTROL, KIND_DATA, KIND_DL_DATA = 0, 1, 2, 3, 4
CONNECT_REQUEST, CONNECT_REPLY, DISCONNECT_REQUEST = 1, 2, 3


def packet(seq, kind, port, code=0, data=b""):
    head = struct.pack("<HHHHHHHHHHHHHHI8s", HEADER, len(data), 2, 1, port, kind, code, 0,
                       0, 0, 0, 0, 0, 0, seq, b"\0" * 8)
    return head + data


def parse(raw):
    if len(raw) < HEADER:
        return None
    f = struct.unpack("<HHHHHHHHHHHHHHI", raw[:32])
    size = f[1]
    return {"port": f[4], "kind": f[5], "code": f[6], "result": f[8], "error": f[9],
            "data": raw[HEADER:HEADER + size]}


class Peer:
    def __init__(self, app, deadline):
        self.app = app
        self.deadline = deadline
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect("\0SkypeControlAPI")
        attach(self.sock, deadline)
        self.stream = None
        self.seq = 0
        self.pending = []
        self.announced = None

    def command(self, text):
        send_frame(self.sock, "C", struct.pack("<I", 0) + text.encode() + b"\0")

    def lines(self):
        kind, payload = read_frame(self.sock, self.deadline)
        if kind == "C":
            yield payload[4:].rstrip(b"\0").decode("utf-8", "replace")

    def open(self, jid, connect):
        self.command("CREATE APPLICATION %s" % self.app)
        streams = re.compile(r"^APPLICATION %s STREAMS (\S+:\d+)" % re.escape(self.app))
        next_try = 0.0
        while self.stream is None:
            if connect and time.monotonic() >= next_try:
                self.command("ALTER APPLICATION %s CONNECT %s" % (self.app, jid))
                next_try = time.monotonic() + 5
            for line in self.lines():
                m = streams.match(line)
                if m and m.group(1).split(":")[0] == jid:
                    self.stream = m.group(1)
        print("stream: %s" % self.stream, flush=True)

    def send(self, kind, port, code=0, data=b""):
        raw = packet(self.seq, kind, port, code, data)
        self.seq += 1
        self.command("ALTER APPLICATION %s WRITE %s %s" % (self.app, self.stream, raw.hex()))

    def next_packet(self):
        """The peer's next packet other than a keep-alive."""
        read_prefix = "ALTER APPLICATION %s READ %s " % (self.app, self.stream)
        received = "APPLICATION %s RECEIVED " % self.app
        while True:
            while self.pending:
                p = parse(bytes.fromhex(self.pending.pop(0)))
                if p and p["kind"] != KIND_NULL:
                    return p
            for line in self.lines():
                if line.startswith(received) and self.stream + "=" in line:
                    self.command("ALTER APPLICATION %s READ %s" % (self.app, self.stream))
                elif line.startswith(read_prefix):
                    self.pending.append(line[len(read_prefix):])

    def connect(self, kind, port):
        self.send(kind, port, CONNECT_REQUEST)
        while True:
            p = self.next_packet()
            if p["kind"] == kind and p["code"] == CONNECT_REPLY:
                print("reply: port=%d result=%d error=%d" % (p["port"], p["result"], p["error"]), flush=True)
                return p["result"] == 1

    def ftp(self, text, code):
        self.send(KIND_DATA, 21, 0, text)
        want = re.compile(r"^%s " % code, re.M)
        while True:
            p = self.next_packet()
            if p["kind"] == KIND_DATA:
                reply = p["data"].decode("latin-1")
                print("data: %s" % reply.strip(), flush=True)
                m = want.search(reply)
                if m:
                    return reply[m.start():]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--app", required=True)
    ap.add_argument("--timeout", type=float, default=60.0)
    ap.add_argument("--expect", default="")
    ap.add_argument("how", choices=["connect-to", "wait-for"])
    ap.add_argument("jid")
    ap.add_argument("steps", nargs="*")
    args = ap.parse_args()

    peer = Peer(args.app, time.monotonic() + args.timeout)
    try:
        peer.open(args.jid, args.how == "connect-to")
        expect = list(args.expect)
        steps = list(args.steps)
        while steps:
            step = steps.pop(0)
            if step in ("main-connect", "datalink-connect"):
                port = steps.pop(0)
                port = peer.announced if port == "announced" else int(port)
                kind = KIND_CONTROL if step == "main-connect" else KIND_DL_CONTROL
                accepted = peer.connect(kind, port)
                want = expect.pop(0) if expect else "a"
                if accepted != (want == "a"):
                    print("craftpeer: %s %d was %s" % (step, port, "accepted" if accepted else "refused"))
                    return 1
            elif step == "ftp":
                text = steps.pop(0).encode().decode("unicode_escape").encode("latin-1")
                peer.ftp(text, steps.pop(0))
            elif step == "hold":
                time.sleep(float(steps.pop(0)))
            elif step == "pasv":
                line = peer.ftp(b"PASV\r\n", "227")
                m = re.search(r"(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)", line)
                peer.announced = int(m.group(5)) * 256 + int(m.group(6))
                print("announced: %d" % peer.announced, flush=True)
            else:
                print("craftpeer: unknown step %s" % step)
                return 2
        return 0
    except (OSError, ConnectionError, TimeoutError) as e:
        print("craftpeer: %s" % e, file=sys.stderr)
        return 1
    finally:
        peer.sock.close()


if __name__ == "__main__":
    sys.exit(main())
