#!/usr/bin/env python3
"""TCP clients for the two-PC tests. Every mode ends by itself (--timeout).

  tcpclient.py echo --port P [--bytes N]
      sends N random bytes while reading; exit 0 when exactly those bytes came back
  tcpclient.py http-get --port P --path /F --out FILE [--stall S] [--rcvbuf B]
      GET /F (HTTP/1.0); when --stall is given, reads nothing for S seconds
      after sending the request (a small receive buffer makes the sender feel
      it), then reads to the end; writes the body to FILE; exit 0 when the body
      is as long as Content-Length says
  tcpclient.py hold --port P --seconds S
      connects and keeps the connection open for S seconds
"""
import argparse
import os
import socket
import sys
import threading
import time


def connect(args):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if getattr(args, "rcvbuf", 0):
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, args.rcvbuf)
    s.settimeout(args.timeout)
    s.connect((args.host, args.port))
    return s


def do_echo(args):
    data = os.urandom(args.bytes)
    s = connect(args)
    deadline = time.monotonic() + args.timeout
    errors = []

    def writer():
        try:
            s.sendall(data)
        except OSError as e:
            errors.append(e)

    t = threading.Thread(target=writer, daemon=True)
    t.start()
    got = bytearray()
    while len(got) < len(data):
        left = deadline - time.monotonic()
        if left <= 0:
            print("echo: timeout after %d of %d bytes" % (len(got), len(data)), file=sys.stderr)
            return 1
        s.settimeout(left)
        chunk = s.recv(65536)
        if not chunk:
            print("echo: closed after %d of %d bytes" % (len(got), len(data)), file=sys.stderr)
            return 1
        got += chunk
    t.join(5)
    s.close()
    if errors:
        print("echo: send failed: %s" % errors[0], file=sys.stderr)
        return 1
    if bytes(got) != data:
        print("echo: bytes differ", file=sys.stderr)
        return 1
    print("echo: %d bytes back" % len(got))
    return 0


def do_http_get(args):
    s = connect(args)
    deadline = time.monotonic() + args.timeout
    s.sendall(("GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" % args.path).encode())
    if args.stall > 0:
        time.sleep(args.stall)
    raw = bytearray()
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            print("http-get: timeout after %d bytes" % len(raw), file=sys.stderr)
            return 1
        s.settimeout(left)
        chunk = s.recv(65536)
        if not chunk:
            break
        raw += chunk
    s.close()
    head, sep, body = bytes(raw).partition(b"\r\n\r\n")
    if not sep:
        print("http-get: no header end in %d bytes" % len(raw), file=sys.stderr)
        return 1
    lines = head.decode("latin-1").split("\r\n")
    if " 200 " not in lines[0] + " ":
        print("http-get: status %r" % lines[0], file=sys.stderr)
        return 1
    length = None
    for line in lines[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "content-length":
            length = int(value.strip())
    with open(args.out, "wb") as f:
        f.write(body)
    if length is not None and length != len(body):
        print("http-get: body %d bytes, Content-Length %d" % (len(body), length), file=sys.stderr)
        return 1
    print("http-get: %d bytes" % len(body))
    return 0


def do_hold(args):
    s = connect(args)
    time.sleep(args.seconds)
    s.close()
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["echo", "http-get", "hold"])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--timeout", type=float, default=60)
    ap.add_argument("--bytes", type=int, default=32768)
    ap.add_argument("--path", default="/")
    ap.add_argument("--out", default="/dev/null")
    ap.add_argument("--stall", type=float, default=0)
    ap.add_argument("--rcvbuf", type=int, default=0)
    ap.add_argument("--seconds", type=float, default=5)
    args = ap.parse_args()
    try:
        return {"echo": do_echo, "http-get": do_http_get, "hold": do_hold}[args.mode](args)
    except OSError as e:
        print("%s: %s" % (args.mode, e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
