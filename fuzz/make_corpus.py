#!/usr/bin/env python3
"""Writes the seed inputs of fuzz/corpus/<target>/: well-formed examples of
what each target reads, from which the fuzzer mutates. Run again after a
change of an input layout; the files are kept in the repository.

The handshake blocks among the seeds of stream_seal_fuzz come from the
target itself (its STREAM_SEAL_FUZZ_SEEDS mode), so it must be built first:

    python3 fuzz/make_corpus.py [build-fuzz/bin/stream_seal_fuzz]
"""
import os
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def packet(kind, code=0, port=0, seq=0, data=b"", result=0, links=(0, 0, 0, 0)):
    header = bytearray(40)
    struct.pack_into("<HHHHHHH", header, 0, 40, len(data), 2, 1, port, kind, code)
    struct.pack_into("<HH", header, 16, result, 0)
    struct.pack_into("<HHHH", header, 20, *links)
    struct.pack_into("<I", header, 28, seq)
    return bytes(header) + data


# text_fuzz: destination size, delimiter, text.
write("text_fuzz", "hex", b"\x40\x00" + b"00ff10Ab")
write("text_fuzz", "odd_hex", b"\x08\x00" + b"abc")
write("text_fuzz", "words", b"\x10 " + b"  ALTER APPLICATION CorvaneForFtp0000 WRITE peer:1 0a0b")
write("text_fuzz", "stream_list", b"\x20," + b"bob:1,carol:22 eve:3")
write("text_fuzz", "punct", b"\x05\x00" + "longword:1=2\t\xe3\x81\x82".encode("latin-1"))

# a2a_packet_fuzz: data limit, packet.
write("a2a_packet_fuzz", "null", struct.pack("<H", 10240) + packet(0))
write("a2a_packet_fuzz", "data", struct.pack("<H", 10240) + packet(3, port=80, seq=7, data=b"GET / HTTP/1.0\r\n\r\n"))
write("a2a_packet_fuzz", "too_long", struct.pack("<H", 4) + packet(3, data=b"12345678"))
write("a2a_packet_fuzz", "short", struct.pack("<H", 10240) + packet(1, code=1)[:30])

# ftp_rewrite_fuzz: hook mode, room, address, data.
addr = bytes([192, 168, 1, 10])
write("ftp_rewrite_fuzz", "pasv", b"\x00\x40" + addr + b"227 Entering Passive Mode (10,0,0,5,195,80)\r\n")
write("ftp_rewrite_fuzz", "port", b"\x00\x40" + addr + b"PORT 127,0,0,1,4,1\r\n")
write("ftp_rewrite_fuzz", "epsv", b"\x03\x40" + addr + b"229 Entering Extended Passive Mode (|||50000|)\r\n")
write("ftp_rewrite_fuzz", "eprt", b"\x00\x40" + addr + b"EPRT |1|10.0.0.5|50001|\r\n")
write("ftp_rewrite_fuzz", "lines", b"\x00\x00" + addr +
      b"150 Here comes the listing\r\n227 Entering Passive Mode (1,2,3,4,5,6)\r\n226 Done\r\n")
write("ftp_rewrite_fuzz", "refused", b"\x01\x10" + addr + b"227 ENTERING PASSIVE MODE (1,2,3,4,255,255)\r\n")
write("ftp_rewrite_fuzz", "cut", b"\x00\x40" + addr + b"227 Entering Passive Mode (10,0,0,5,195,8")

# rep_read_fuzz: stream kind, then records (length, flags, bytes).
def record(data, flags=2):
    if isinstance(data, str):
        data = data.encode("latin-1")
    return struct.pack("<HB", len(data), flags) + data


for target in ("rep_read_server_fuzz", "rep_read_client_fuzz"):
    for kind, name in ((0, "http"), (1, "ftp")):
        links = (2, 30, 0, 30)
        write(target, name + "_null", bytes([kind]) + record(packet(0, links=links)))
        write(target, name + "_data_and_end",
              bytes([kind]) + record(packet(3, port=80, data=b"hello\r\n", links=links))
              + record(packet(1, code=3, port=80, result=3)) + record(packet(1, code=3, port=80), 6))
        write(target, name + "_reply",
              bytes([kind]) + record(packet(1, code=2, port=80, result=1))
              + record(packet(2, code=2, port=4000, result=2)))
        write(target, name + "_datalink",
              bytes([kind]) + record(packet(4, port=4000, data=b"x" * 64))
              + record(packet(2, code=3, port=4000, result=2)))
    write(target, "ftp_pasv",
          b"\x01" + record(packet(3, port=21, data=b"227 Entering Passive Mode (10,0,0,5,195,80)\r\n")))
    write(target, "ftp_port",
          b"\x01" + record(packet(3, port=21, data=b"PORT 10,0,0,5,195,81\r\n", seq=1), 0))
    write(target, "text_replies",
          b"\x00" + record("peer:1 2800000002000100000000000000000000000000000000000000000000000000000000000000", 1)
          + record("peer:12 00", 1) + record("peer:1 abc", 1) + record("other:1 2800", 1))

# stream_list_fuzz: list kind, text.
write("stream_list_fuzz", "streams", b"\x00" + b"bob:1 carol:2,eve:3")
write("stream_list_fuzz", "sending", b"\x01" + b"bob:1=100 carol:2=0")
write("stream_list_fuzz", "received", b"\x02" + b"bob:1=5 carol:22=10240")
write("stream_list_fuzz", "empty", b"\x00" + b"")
write("stream_list_fuzz", "no_id", b"\x01" + b"bob:1")


# api_frame_fuzz: piece size, bytes.
def frame(kind, payload):
    return struct.pack("<I", len(payload) + 1) + kind + payload


cmd = frame(b"C", b"\0\0\0\0" + b"ALTER APPLICATION CorvaneForFtp0000 READ bob@h.test:1\0")
write("api_frame_fuzz", "command", b"\x00" + cmd)
write("api_frame_fuzz", "attach_then_command", b"\x03" + frame(b"A", struct.pack("<II", 0, 1)) + cmd)
write("api_frame_fuzz", "discover", b"\x07" + frame(b"D", b"CorvaneForTcp"))
write("api_frame_fuzz", "bad_length", b"\x00" + struct.pack("<I", 0x7fffffff) + b"C")
write("api_frame_fuzz", "zero_inside", b"\x01" + frame(b"C", b"\0\0\0\0PING\0x\0"))

# messenger_command_fuzz: one command line.
for i, line in enumerate([
        "PING", "SEARCH FRIENDS", "GET CURRENTUSERHANDLE", "GET USERSTATUS",
        "GET USER bob@h.test ONLINESTATUS", "GET APPLICATION CorvaneForFtp0000 CONNECTABLE",
        "CREATE APPLICATION CorvaneForFtp0000", "DELETE APPLICATION CorvaneForFtp0000",
        "ALTER APPLICATION CorvaneForFtp0000 CONNECT bob@h.test",
        "ALTER APPLICATION CorvaneForFtp0000 WRITE bob@h.test:1 28000000",
        "alter application X read bob@h.test:2", "ALTER APPLICATION X DISCONNECT bob@h.test:99999999999"]):
    write("messenger_command_fuzz", "line%02d" % i, line)

# messenger_config_fuzz: a configuration file.
write("messenger_config_fuzz", "example", open(os.path.join(HERE, "..", "messenger", "daemon", "example.conf"), "rb").read())
write("messenger_config_fuzz", "full",
      "jid = alice@h.test\npassword = secret\nresource = pc\nserver = 127.0.0.1\nport = 5222\n"
      "tls = optional\ntls_verify = no\ncontact = bob@h.test\ncontact = carol@h.test\nlog = stderr\n"
      "api_socket = SkypeControlAPI\nmax_unread = 64\nanswer_timeout = 30\nwindow = 32\ncompact = yes\n")
write("messenger_config_fuzz", "mistakes", "jid = alice\r\nport = 70000\nwindow=0\njid = a@b\n# comment\n = x\nnoequals\n")

# messenger_events_fuzz: settings byte, then one event a line.
setup = ("+\nr 0 both\nr 3 from\np 0 1 - CorvaneForFtp0000\nd 1\nc 1 CREATE APPLICATION CorvaneForFtp0000\n")
write("messenger_events_fuzz", "outgoing",
      "\x13" + setup + "c 1 ALTER APPLICATION CorvaneForFtp0000 CONNECT bob@h.test\nO 0 #0 1 1\n"
      "c 1 ALTER APPLICATION CorvaneForFtp0000 WRITE bob@h.test:1 28000000\nB 0 #0 1\n"
      "b 0 #0 0 abcd\nc 1 ALTER APPLICATION CorvaneForFtp0000 READ bob@h.test:1\n"
      "t 40000\nP 0 #0 0\nc 1 ALTER APPLICATION CorvaneForFtp0000 DISCONNECT bob@h.test:1\n")
write("messenger_events_fuzz", "incoming",
      "\x01" + setup + "o 0 s1 CorvaneForFtp0000 1\nb 0 s1 0 hello\nb 0 s1 1 more\nb 0 s1 2 third\n"
      "c 1 ALTER APPLICATION CorvaneForFtp0000 READ bob@h.test:1\nX 0 s1\nC 0 s1\n")
write("messenger_events_fuzz", "roster",
      "\x00s 1\ns 0\nR 0\nr 1 none\np 2 1 away CorvaneForHttp000\np 0 0 -\n-\n+\nx 1\nd 2\nc 2 SEARCH FRIENDS\n")

# The same, with the handshakes of the contacts' daemons (k) and their
# sealed texts (e). Compact: the settings byte has 0x10.
app = "CorvaneForFtp0000"
write("messenger_events_fuzz", "sealed_incoming",
      "\x11" + setup + "o 0 s1 %s 1\nk 0 s1\nk 0 s1\ne 0 s1 \x01\x12\xab\ne 0 s1 \x00hello\n"
      "c 1 ALTER APPLICATION %s READ bob@h.test:1\nc 1 ALTER APPLICATION %s READ bob@h.test:1\n"
      "c 1 ALTER APPLICATION %s WRITE bob@h.test:1 00ff\nB 0 s1 1\nC 0 s1\n" % (app, app, app, app))
write("messenger_events_fuzz", "sealed_outgoing",
      "\x01" + setup + "c 1 ALTER APPLICATION %s CONNECT bob@h.test\nO 0 #0 1 0\nk 0 #0\nk 0 #0\n"
      "c 1 ALTER APPLICATION %s WRITE bob@h.test:1 28000000\nB 0 #0 1\ne 0 #0 abcd\ne 0 #0 efgh\n"
      "e 0 #0 ijkl\ne 0 #0 mnop\nc 1 ALTER APPLICATION %s READ bob@h.test:1\nt 40000\nP 0 #0 1\n"
      "c 1 ALTER APPLICATION %s DISCONNECT bob@h.test:1\n" % (app, app, app, app))
# The second stream to bob uses IK with the key pinned by the first; bob
# opens with IK, once with a key alice does not have. Then bob's laptop,
# with another key, is refused both ways (the IK to it restarts with XX).
write("messenger_events_fuzz", "sealed_pinned",
      "\x12" + setup + "c 1 ALTER APPLICATION %s CONNECT bob@h.test\nO 0 #0 1 1\nk 0 #0\nk 0 #0\n"
      "c 1 ALTER APPLICATION %s CONNECT bob@h.test\nk 0 #1\ne 0 #1 \x0000\n"
      "c 1 ALTER APPLICATION %s READ bob@h.test:2\no 0 s2 %s 1 1\nk 0 s2\nk 0 s2\ne 0 s2 \x00in\n"
      "o 0 s3 %s 0 2\nk 0 s3\nk 0 s3\nk 0 s3\np 0 0 -\np 1 1 - %s\no 1 s4 %s 0\nk 1 s4\nk 1 s4\n"
      "c 1 ALTER APPLICATION %s CONNECT bob@h.test\nk 1 #2\nk 1 #2\n"
      % (app, app, app, app, app, app, app, app))

# Streams that end: with the contact's sealed end and its close, with a
# close alone (the server's), a block after the end, and the core's own end
# before its close.
write("messenger_events_fuzz", "sealed_end",
      "\x01" + setup + "o 0 s1 %s 0\nk 0 s1\nk 0 s1\ne 0 s1 hello\nE 0 s1\nC 0 s1\n"
      "o 0 s2 %s 0\nk 0 s2\nk 0 s2\nC 0 s2\no 0 s3 %s 0\nk 0 s3\nk 0 s3\nE 0 s3\ne 0 s3 late\n"
      "c 1 ALTER APPLICATION %s CONNECT bob@h.test\nO 0 #0 1 0\nk 0 #0\nk 0 #0\n"
      "c 1 ALTER APPLICATION %s DISCONNECT bob@h.test:4\n" % (app, app, app, app, app))

# jingle_fuzz: a <jingle/> element as a peer sends it.
def jingle(action, content, who="initiator='bob@h.test/pc'"):
    return ("<jingle xmlns='urn:xmpp:jingle:1' action='%s' %s sid='a73sjjvkla37jfea'>%s</jingle>"
            % (action, who, content))


def transport(candidates, description=True):
    return ("<content creator='initiator' name='path'>"
            + ("<description xmlns='urn:corvane:messenger:direct-path:0'/>" if description else "")
            + "<transport xmlns='urn:xmpp:jingle:transports:ice-udp:1' ufrag='8hhy' pwd='asd88fgpdd777uzjYhagZg'>"
            + candidates + "</transport></content>")


host = ("<candidate component='1' foundation='1' generation='0' id='el0747fg11' ip='10.0.1.1' network='1'"
        " port='8998' priority='2130706431' protocol='udp' type='host'/>")
srflx = ("<candidate component='1' foundation='2' generation='0' id='y3s2b30v3r' ip='192.0.2.3' network='1'"
         " port='45664' priority='1694498815' protocol='udp' rel-addr='10.0.1.1' rel-port='8998' type='srflx'/>")
relay = ("<candidate component='1' foundation='3' generation='0' id='r1' ip='2001:db8::9' network='0'"
         " port='3478' priority='16777215' protocol='UDP' rel-addr='::ffff:192.0.2.3' rel-port='45664' type='relay'/>")
write("jingle_fuzz", "initiate", jingle("session-initiate", transport(host + srflx)))
write("jingle_fuzz", "accept", jingle("session-accept", transport(relay + host), "responder='alice@h.test/pc'"))
write("jingle_fuzz", "candidates", jingle("transport-info", transport(srflx + relay, False)))
write("jingle_fuzz", "left_out", jingle("transport-info", transport(
    host + host + host.replace("'1'", "'2'") + srflx.replace("192.0.2.3", "224.0.0.1")
    + relay.replace("3478", "65536") + host.replace("10.0.1.1", "h.example"))))
write("jingle_fuzz", "terminate", jingle("session-terminate", "<reason><text>bye</text><success/></reason>", ""))
write("jingle_fuzz", "unknown", jingle("content-add", transport(host)))

# stream_seal_fuzz, two seals with one byte of one block flipped: flags,
# settings, block number, byte (16 bits), mask, a text.
for name, flags, block, mask in (("xx_clean", 0x01, 0, 0), ("xx_flip_first", 0x01, 0, 0x01),
                                 ("xx_flip_second", 0x01, 1, 0x80), ("xx_flip_confirm", 0x01, 3, 0x40),
                                 ("ik_clean", 0x03, 0, 0), ("ik_flip_answer", 0x03, 1, 0x02),
                                 ("restart_clean", 0x05, 0, 0), ("restart_flip", 0x05, 2, 0x10),
                                 ("zero_key", 0x07, 0, 0), ("other_prologue", 0x11, 9, 0)):
    write("stream_seal_fuzz", name, bytes([flags, 1, block, 5, 0, mask]) + b"0a0b0c0d text")
# ... and one seal fed the blocks of real handshakes, written by the target.
seal_fuzz = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build-fuzz", "bin", "stream_seal_fuzz")
if os.path.exists(seal_fuzz):
    folder = os.path.join(HERE, "corpus", "stream_seal_fuzz")
    subprocess.run([seal_fuzz], env=dict(os.environ, STREAM_SEAL_FUZZ_SEEDS=folder), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
else:
    print("no %s: the handshake seeds of stream_seal_fuzz are left as they are" % seal_fuzz)
