#!/usr/bin/env python3
"""TCP clients for the two-PC tests. Every mode ends by itself (--timeout).

  tcpclient.py http-get --port P --path /F --out FILE [--stall S] [--rcvbuf B]
      GET /F (HTTP/1.0); when --stall is given, reads nothing for S seconds
      after sending the request (a small receive buffer makes the sender feel
      it), then reads to the end; writes the body to FILE; exit 0 when the body
      is as long as Content-Length says
  tcpclient.py hold --port P --seconds S
      connects and keeps the connection open for S seconds
  tcpclient.py transfer --port P (--bytes N [--half-close] | --expect FILE)
                        [--idle S] [--out FILE]
      --bytes: sends N random bytes while reading and expects them back (an
      echo); with --half-close it shuts its sending side down after the last
      byte and also wants a clean end (EOF) after the N bytes.
      --expect: sends nothing, reads until the connection ends and wants
      exactly FILE's bytes, then EOF.
      Prints "transfer: <outcome> (<got> of <expected> bytes, end <how>)" with
      the outcome, also the exit code:
        complete         0  every byte, right, ended as asked
        reset            2  the connection was reset (ECONNRESET, or a send
                            refused without a FIN before it)
        short clean end  3  an orderly end (EOF) before all bytes: the case a
                            tunnel must never produce for an aborted connection
        stalled          4  no byte moved for --idle S seconds, or --timeout passed
        refused          5  the connect was refused
        differs, too long, other errors  1
      --out FILE keeps what was received.
  tcpclient.py cancel --port P (--bytes N | --get /F) --read R --stall S
      sends N random bytes (or an HTTP GET of /F) while reading, until R bytes
      came in; then reads nothing for S seconds (still sending what the peer
      takes) and closes with data unread, so that its kernel resets the
      connection. Exit 0 when R bytes came in and data was unread at the close.
"""
import argparse
import fcntl
import os
import select
import socket
import struct
import sys
import termios
import threading
import time


def connect(args):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if getattr(args, "rcvbuf", 0):
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, args.rcvbuf)
    s.settimeout(args.timeout)
    s.connect(("127.0.0.1", args.port))
    return s


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
    with open(args.out or os.devnull, "wb") as f:
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


def outcome_exit(word):
    return {"complete": 0, "reset": 2, "short clean end": 3, "stalled": 4, "refused": 5}.get(word, 1)


class Transfer:
    """One connection driven by poll from a single thread: sends `data`
    (optionally followed by shutdown(SHUT_WR)) while reading, and records how
    the receiving side ended. Reading always goes before sending, so a FIN is
    seen by recv before a later send could draw a reset from a closed peer
    (which would otherwise hide the clean end behind a send error)."""

    def __init__(self, s, data, half_close, idle, deadline):
        self.s = s
        self.data = data
        self.sent = 0
        self.half_close = half_close
        self.shut = False
        self.idle = idle
        self.deadline = deadline
        self.got = bytearray()
        self.end = None          # "eof", "reset", "stalled", or an error text
        s.setblocking(False)

    def run(self, want):
        """Runs until the receiving side ended or `want` bytes came in."""
        p = select.poll()
        last = time.monotonic()
        while self.end is None and len(self.got) < want:
            now = time.monotonic()
            if now >= self.deadline or now - last >= self.idle:
                self.end = "stalled"
                break
            ev = select.POLLIN | select.POLLRDHUP
            sending = self.sent < len(self.data)
            if sending:
                ev |= select.POLLOUT
            p.register(self.s, ev)
            wait = min(self.deadline, last + self.idle) - now
            r = p.poll(max(1, int(wait * 1000)))
            p.unregister(self.s)
            if not r:
                continue
            flags = r[0][1]
            if flags & (select.POLLIN | select.POLLRDHUP | select.POLLERR | select.POLLHUP):
                try:
                    chunk = self.s.recv(min(65536, max(1, want - len(self.got))))
                except BlockingIOError:
                    chunk = None
                except ConnectionResetError:
                    self.end = "reset"
                    break
                except OSError as e:
                    self.end = "recv: %s" % e
                    break
                if chunk == b"":
                    self.end = "eof"
                    break
                if chunk:
                    self.got += chunk
                    last = time.monotonic()
                continue
            if sending and flags & select.POLLOUT:
                try:
                    n = self.s.send(self.data[self.sent:self.sent + 65536])
                except BlockingIOError:
                    n = 0
                except (ConnectionResetError, BrokenPipeError):
                    # No FIN was waiting at the poll before this send, so
                    # the peer reset the connection.
                    self.end = "reset"
                    break
                except OSError as e:
                    self.end = "send: %s" % e
                    break
                if n:
                    self.sent += n
                    last = time.monotonic()
                if self.sent == len(self.data) and self.half_close and not self.shut:
                    self.s.shutdown(socket.SHUT_WR)
                    self.shut = True
        return self.end


def classify(end, got, expected, need_eof):
    """The outcome word for a transfer that should have delivered `expected`."""
    if len(got) > len(expected):
        return "too long"
    if bytes(got) != expected[:len(got)]:
        return "differs"
    if len(got) == len(expected):
        if not need_eof or end == "eof":
            return "complete"
        if end is None:
            return "too long"
        return {"reset": "reset", "stalled": "stalled"}.get(end, end)
    if end == "eof":
        return "short clean end"
    return end or "stalled"


def connect_or_refused(args):
    try:
        return connect(args), None
    except ConnectionRefusedError:
        return None, "refused"
    except socket.timeout:
        return None, "stalled"


def do_transfer(args):
    if args.expect:
        with open(args.expect, "rb") as f:
            expected = f.read()
        data = b""
    else:
        expected = data = os.urandom(args.bytes)
    deadline = time.monotonic() + args.timeout
    s, word = connect_or_refused(args)
    got = b""
    end = None
    if s is not None:
        t = Transfer(s, data, args.half_close, args.idle, deadline)
        # A file is read to its end (one byte more than expected, so a
        # longer answer shows); an echo stops after its bytes unless the
        # half-close asks for the end as well.
        need_eof = bool(args.expect) or args.half_close
        end = t.run(len(expected) + 1 if need_eof else len(expected))
        got = t.got
        word = classify(end, got, expected, need_eof)
        s.close()
    if args.out:
        with open(args.out, "wb") as f:
            f.write(got)
    print("transfer: %s (%d of %d bytes, end %s)" % (word, len(got), len(expected), end))
    return outcome_exit(word)


def do_cancel(args):
    s = connect(args)
    if args.get:
        data = ("GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" % args.get).encode()
    else:
        data = os.urandom(args.bytes)
    deadline = time.monotonic() + args.timeout
    t = Transfer(s, data, False, args.idle, deadline)
    end = t.run(args.read)
    if len(t.got) < args.read:
        print("cancel: ended after %d of %d bytes (%s)" % (len(t.got), args.read, end), file=sys.stderr)
        return 1
    # The stall: no reading, only sending what the peer still takes.
    stop = time.monotonic() + args.stall
    while time.monotonic() < stop and t.sent < len(data):
        if not select.select([], [s], [], max(0, stop - time.monotonic()))[1]:
            continue
        try:
            t.sent += s.send(data[t.sent:t.sent + 65536])
        except BlockingIOError:
            pass
        except OSError as e:
            print("cancel: send failed during the stall: %s" % e, file=sys.stderr)
            break
    time.sleep(max(0, stop - time.monotonic()))
    unread = struct.unpack("i", fcntl.ioctl(s, termios.FIONREAD, b"\0\0\0\0"))[0]
    s.close()
    print("cancel: read %d, sent %d, closed with %d bytes unread" % (len(t.got), t.sent, unread))
    if unread == 0:
        print("cancel: nothing unread at the close, so it was no abort", file=sys.stderr)
        return 1
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["http-get", "hold", "transfer", "cancel"])
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--timeout", type=float, default=60)
    ap.add_argument("--bytes", type=int, default=32768)
    ap.add_argument("--path", default="/")
    ap.add_argument("--out", default="")
    ap.add_argument("--stall", type=float, default=0)
    ap.add_argument("--rcvbuf", type=int, default=0)
    ap.add_argument("--seconds", type=float, default=5)
    ap.add_argument("--half-close", action="store_true")
    ap.add_argument("--expect", default="")
    ap.add_argument("--idle", type=float, default=30)
    ap.add_argument("--get", default="")
    ap.add_argument("--read", type=int, default=100 * 1024)
    args = ap.parse_args()
    try:
        return {"http-get": do_http_get, "hold": do_hold,
                "transfer": do_transfer, "cancel": do_cancel}[args.mode](args)
    except OSError as e:
        print("%s: %s" % (args.mode, e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
