#!/usr/bin/env python3
"""Tiny client of the messenger's local socket (abstract "SkypeControlAPI").

  apiprobe.py [--timeout S] attach
      sends a D frame and waits for attach code 0; prints "ATTACHED <handle>"
  apiprobe.py [--timeout S] command TEXT REGEX
      attaches, sends TEXT as a C frame and prints every C frame received
      until one matches REGEX (exit 0) or is an ERROR line (exit 1)

Exit status 1 on timeout, refusal (code 2) or a closed connection.
Frames: u32 LE length (type + payload), one type letter, payload.
"""
import argparse
import re
import socket
import struct
import sys
import time


def read_frame(sock, deadline):
    def read_exact(n):
        data = b""
        while len(data) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("timeout")
            sock.settimeout(left)
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("connection closed by the messenger")
            data += chunk
        return data

    (length,) = struct.unpack("<I", read_exact(4))
    if length < 1 or length > 1048576:
        raise ConnectionError("bad frame length %d" % length)
    body = read_exact(length)
    return chr(body[0]), body[1:]


def send_frame(sock, kind, payload=b""):
    sock.sendall(struct.pack("<I", 1 + len(payload)) + kind.encode() + payload)


def attach(sock, deadline):
    send_frame(sock, "D", b"apiprobe")
    while True:
        kind, payload = read_frame(sock, deadline)
        if kind != "A":
            continue
        code, handle = struct.unpack("<II", payload[:8])
        if code == 0:
            return handle
        if code == 2:
            raise ConnectionError("refused (attach code 2)")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--timeout", type=float, default=10.0)
    sub = ap.add_subparsers(dest="what", required=True)
    sub.add_parser("attach")
    c = sub.add_parser("command")
    c.add_argument("text")
    c.add_argument("expect")
    args = ap.parse_args()

    deadline = time.monotonic() + args.timeout
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.settimeout(args.timeout)
        sock.connect("\0SkypeControlAPI")
        handle = attach(sock, deadline)
        if args.what == "attach":
            print("ATTACHED %d" % handle)
            return 0
        send_frame(sock, "C", struct.pack("<I", 0) + args.text.encode() + b"\0")
        want = re.compile(args.expect)
        while True:
            kind, payload = read_frame(sock, deadline)
            if kind != "C":
                continue
            line = payload[4:].rstrip(b"\0").decode("utf-8", "replace")
            print(line)
            if want.search(line):
                return 0
            if line.startswith("ERROR "):
                return 1
    except (OSError, ConnectionError, TimeoutError) as e:
        print("apiprobe: %s" % e, file=sys.stderr)
        return 1
    finally:
        sock.close()


if __name__ == "__main__":
    sys.exit(main())
