#!/usr/bin/env python3
"""What a NAT does to a PC's UDP, seen from the server's network.

  udp_mapping.py observe ADDR PORT PORT2   (in the server's namespace)
      answers every datagram on both ports with the source address and
      port it came from, until killed
  udp_mapping.py probe ADDR PORT PORT2     (in a PC's namespace)
      from one socket, a datagram to each port; prints the two mapped
      "address:port" answers on one line ("none" for one not answered
      within 2 s)

A home router keeps one mapping for one socket whatever the destination
(the two answers are equal); a symmetric NAT gives each destination its
own port.
"""
import socket
import sys


def observe(addr, ports):
    socks = []
    for p in ports:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((addr, p))
        socks.append(s)
    import select
    print("ready", flush=True)
    while True:
        ready, _, _ = select.select(socks, [], [], 60)
        if not ready:
            return  # nobody probes any more: end by itself
        for s in ready:
            data, src = s.recvfrom(2048)
            s.sendto(f"{src[0]}:{src[1]}".encode(), src)


def probe(addr, ports):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", 0))
    s.settimeout(2)
    seen = []
    for p in ports:
        s.sendto(b"where am I", (addr, p))
        try:
            seen.append(s.recvfrom(2048)[0].decode())
        except socket.timeout:
            seen.append("none")
    print(" ".join(seen))


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[1] not in ("observe", "probe"):
        sys.exit(__doc__)
    (observe if sys.argv[1] == "observe" else probe)(sys.argv[2], [int(sys.argv[3]), int(sys.argv[4])])
