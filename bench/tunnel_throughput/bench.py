#!/usr/bin/env python3
"""Traffic for the tunnel benchmark. Every mode ends by itself.

  bench.py serve --port P
      "GET n\\n": sends n bytes; "PUT n\\n": reads n bytes, answers "OK\\n";
      "GET /...": a five-byte web page, closed at once; one request per
      connection, connections served in parallel
  bench.py get --port P --bytes N        prints: seconds
  bench.py put --port P --bytes N        prints: seconds
  bench.py first-byte --port P --count C prints: the median seconds from
      connect to the first byte of the reply, over C connections
  bench.py turnover --port P --count C   prints: the median seconds of C HTTP
      requests in a row (connect, "GET /index.html", read to the close), each
      made as soon as the one before has ended
  bench.py cancel --port P --bytes N --after S --timeout T
      prints: the bytes of a GET of N read in S seconds before the client
      gave up (closed with a reset, as a killed client does), and the
      seconds until a small web request made right after was answered
      ("none" when not within T)
"""
import argparse
import socket
import statistics
import struct
import sys
import threading
import time

BLOCK = b"x" * 65536


def serve_one(conn):
    with conn:
        conn.settimeout(300)
        line = b""
        while not line.endswith(b"\n"):
            chunk = conn.recv(1)
            if not chunk:
                return
            line += chunk
        if line.startswith(b"GET /"):
            # A small web page, closed at once (bench.py turnover); the
            # whole request is read first, so the close is a clean one.
            while not line.endswith(b"\r\n\r\n"):
                chunk = conn.recv(1)
                if not chunk:
                    return
                line += chunk
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello")
            return
        verb, n = line.split()
        n = int(n)
        if verb == b"GET":
            while n > 0:
                k = min(n, len(BLOCK))
                conn.sendall(BLOCK[:k])
                n -= k
        else:
            while n > 0:
                chunk = conn.recv(min(n, 65536))
                if not chunk:
                    return
                n -= len(chunk)
            conn.sendall(b"OK\n")
        # Let the last bytes leave before the close: as servers do, close
        # once the client has ended its side, after 0.5 s at most.
        conn.settimeout(0.5)
        try:
            while conn.recv(65536):
                pass
        except OSError:
            pass


def serve(args):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", args.port))
    s.listen(16)
    while True:
        conn, _ = s.accept()
        threading.Thread(target=serve_one, args=(conn,), daemon=True).start()


def request(args, line):
    s = socket.create_connection(("127.0.0.1", args.port), timeout=args.timeout)
    s.settimeout(args.timeout)
    s.sendall(line)
    return s


def get(args):
    start = time.monotonic()
    s = request(args, b"GET %d\n" % args.bytes)
    got = 0
    while got < args.bytes:
        chunk = s.recv(65536)
        if not chunk:
            break
        got += len(chunk)
    elapsed = time.monotonic() - start
    s.close()
    if got != args.bytes:
        sys.exit("get: %d of %d bytes" % (got, args.bytes))
    print("%.3f" % elapsed)


def put(args):
    start = time.monotonic()
    s = request(args, b"PUT %d\n" % args.bytes)
    n = args.bytes
    while n > 0:
        k = min(n, len(BLOCK))
        s.sendall(BLOCK[:k])
        n -= k
    answer = s.recv(3)
    elapsed = time.monotonic() - start
    s.close()
    if answer != b"OK\n":
        sys.exit("put: no OK")
    print("%.3f" % elapsed)


def first_byte(args):
    times = []
    for _ in range(args.count):
        start = time.monotonic()
        s = request(args, b"GET 1\n")
        if not s.recv(1):
            sys.exit("first-byte: closed")
        times.append(time.monotonic() - start)
        s.close()
        time.sleep(0.3)  # the client application serves one connection at a time
    print("%.4f" % statistics.median(times))


def web_request(args):
    """One small web request read to its close: whether it was answered."""
    s = request(args, b"GET /index.html HTTP/1.0\r\n\r\n")
    got = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        got += chunk
    s.close()
    return got.startswith(b"HTTP/1.")


def turnover(args):
    times = []
    for _ in range(args.count):
        start = time.monotonic()
        if not web_request(args):
            sys.exit("turnover: no HTTP answer")
        times.append(time.monotonic() - start)
    print("%.4f" % statistics.median(times))


def cancel(args):
    s = request(args, b"GET %d\n" % args.bytes)
    got = 0
    deadline = time.monotonic() + args.after
    while got < args.bytes and time.monotonic() < deadline:
        s.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            chunk = s.recv(65536)
        except socket.timeout:
            break
        if not chunk:
            break
        got += len(chunk)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
    start = time.monotonic()
    try:
        answered = web_request(args)
    except OSError:
        answered = False
    print(got, "%.2f" % (time.monotonic() - start) if answered else "none")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=["serve", "get", "put", "first-byte", "turnover", "cancel"])
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--bytes", type=int, default=20 * 1024 * 1024)
    p.add_argument("--count", type=int, default=21)
    p.add_argument("--timeout", type=float, default=300)
    p.add_argument("--after", type=float, default=3)
    args = p.parse_args()
    {"serve": serve, "get": get, "put": put, "first-byte": first_byte,
     "turnover": turnover, "cancel": cancel}[args.mode](args)


if __name__ == "__main__":
    main()
