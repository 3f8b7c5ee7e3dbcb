#!/usr/bin/env python3
"""Plants known faults, one at a time, in a scratch copy of the tree and
tells which of them the test suite catches.

Each fault is a small patch (exact text replaced in one production file).
For each, the scratch tree gets the pristine sources back, the fault is
applied, the builds its tiers need are brought up to date (incrementally,
through ccache), and the tiers run in order until one fails:

  unit  the normal build, every test but the end-to-end ones
  asan  the AddressSanitizer + UndefinedBehaviorSanitizer build, same tests
  tsan  the ThreadSanitizer build, the threaded tests (tcp|tunnel|model|messenger)
  e2e   the ASan build's end-to-end tests (need root)

A fault is "caught" when a tier's tests fail; "MISSED" when every tier
passed; "no-build" when the faulty tree does not compile (a broken fault,
not a catch). The last lines are the table, also written to
<scratch>/faults-table.txt.

Usage: scripts/planted-faults.py [--scratch DIR] [--jobs N] [--label L] [--list] [--check] [ID...]
  --check   only verify that every fault applies to the current sources
  --list    print the faults
  --label   run only the tests with this ctest label (a regex) in every tier:
            a quicker check of one layer's tests; the full table runs without
  ID        run only these faults (default: all)
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent

# (id, layer, what it breaks, file, [(old, new), ...], tiers)
FAULTS = [
    # wire: the packet and the frame formats
    ("wire-u32-order", "wire", "wrong byte in a 32-bit packet field", "wire/a2a_packet.cpp",
     [("static_cast<uint8_t>(value >> (8 * i));", "static_cast<uint8_t>(value >> (8 * (3 - i)));")], ["unit"]),
    ("wire-u16-high", "wire", "wrong byte in a 16-bit packet field", "wire/a2a_packet.cpp",
     [("packet[offset + 1] = static_cast<uint8_t>(value >> 8);", "packet[offset + 1] = 0;")], ["unit"]),
    ("wire-data-size", "wire", "off-by-one in the data size check", "wire/a2a_packet.cpp",
     [("if (dataSize > entrySize - kA2AHeaderSize)", "if (dataSize > entrySize - kA2AHeaderSize + 1)")],
     ["unit", "asan"]),
    ("wire-frame-length", "wire", "frame length without its type byte", "wire/api_frame.cpp",
     [("putU32(out, static_cast<uint32_t>(payload.size() + 1));", "putU32(out, static_cast<uint32_t>(payload.size()));")],
     ["unit"]),
    ("wire-frame-zero", "wire", "a zero byte inside a command accepted", "wire/api_frame.cpp",
     [("if (f.text.find('\\0') != std::string::npos) {", "if (false) {")], ["unit"]),
    # core: text, queue, settings, log
    ("core-hex-digit", "core", "hex encoding drops a bit", "core/text.cpp",
     [("digits[src[i] & 0x0f];", "digits[src[i] & 0x07];")], ["unit"]),
    ("core-hex-odd", "core", "odd-length hex text accepted", "core/text.cpp",
     [("if (n % 2 != 0) {", "if (false) {")], ["unit"]),
    ("core-que-full", "core", "off-by-one in the queue's capacity", "core/que.cpp",
     [("if (count >= kCapacity) {", "if (count > kCapacity) {")], ["unit", "asan"]),
    ("core-que-enqueue-race", "core", "race: the queue's enqueue without its lock", "core/que.cpp",
     [("    std::lock_guard<std::mutex> lock(mutex);\n    if (count >= kCapacity) {", "    if (count >= kCapacity) {")],
     ["tsan"]),
    ("core-log-race", "core", "race: the event log written without its lock", "core/eventlog.cpp",
     [("        return;\n    std::lock_guard<std::mutex> lock(mutex);\n\n    std::time_t now", "        return;\n\n    std::time_t now")],
     ["tsan"]),
    ("core-ini-genport2", "core", "settings key read wrong (GENPORT2)", "core/configuration.cpp",
     [('profile::getInt("CLIENT", "GENPORT2", 9023, p)', 'profile::getInt("CLIENT", "GENPORT1", 9023, p)')], ["unit"]),
    ("core-ini-sound-default", "core", "settings default wrong (SOUNDMODE)", "core/configuration.cpp",
     [('profile::getInt("SYSTEM", "SOUNDMODE", 1, p)', 'profile::getInt("SYSTEM", "SOUNDMODE", 0, p)')], ["unit"]),
    ("core-log-month", "core", "log line's month off by one", "core/eventlog.cpp",
     [("local.tm_mon + 1", "local.tm_mon")], ["unit"]),
    # tcp: the relay between a local connection and the peer
    ("tcp-half-close", "tcp", "lost half-close: the peer's send end not passed on", "tcp/tcp_relay.cpp",
     [("    endpoint.shutdownSending();\n    remoteDone = true;", "    remoteDone = true;")], ["unit", "e2e"]),
    ("tcp-send-end-abort", "tcp", "the program's half-close sent as an abort", "tcp/tcp_relay.cpp",
     [("control.queueDisconnect(kA2ADisconnectSendEnd);", "control.queueDisconnect(kA2ADisconnectAborted);")],
     ["unit", "e2e"]),
    ("tcp-size-unchecked", "tcp", "heap overflow: the peer's data size not checked", "tcp/tcp_relay.cpp",
     [("if (!checkA2APacket(entry, sizeof(entry), kDataLimit)) {", "if (false) {")], ["unit", "asan", "e2e"]),
    ("tcp-data-length", "tcp", "off-by-one in a data packet's length", "tcp/tcp_relay.cpp",
     [("setA2ADataSize(packet, static_cast<uint16_t>(length));", "setA2ADataSize(packet, static_cast<uint16_t>(length - 1));")],
     ["unit"]),
    # tunnel: FTP rewrite, the data-link allow-list, the stream's packets
    ("tunnel-eprt-format", "tunnel", "FTP rewrite: EPRT line without its CR", "tunnel/ftp_rewrite.cpp",
     [('"EPRT |1|%d.%d.%d.%d|%d|\\r\\n"', '"EPRT |1|%d.%d.%d.%d|%d|\\n"')], ["unit"]),
    ("tunnel-ftp-one-per-packet", "tunnel", "FTP rewrite: dropped one-announcement-per-packet check",
     "tunnel/ftp_rewrite.cpp", [("} else if (announced) {", "} else if (false && announced) {")], ["unit"]),
    ("tunnel-ftp-unended", "tunnel", "FTP rewrite: dropped unended-line check", "tunnel/ftp_rewrite.cpp",
     [("} else if (refuseUnendedLine && unended) {", "} else if (false && refuseUnendedLine && unended) {")], ["unit"]),
    ("tunnel-ftp-fit", "tunnel", "FTP rewrite: overflow, capacity check off", "tunnel/ftp_rewrite.cpp",
     [("if (static_cast<uint64_t>(pos) + textLength + tail > capacity)",
       "if (static_cast<uint64_t>(pos) + textLength + tail > capacity + 64)")], ["unit", "asan"]),
    ("tunnel-allow-stale", "tunnel", "data-link allow-list: stale port accepted", "tunnel/announced_ports.cpp",
     [("const bool fresh = now - e.at <= kLifetime;", "const bool fresh = now - e.at <= kLifetime || true;")], ["unit"]),
    ("tunnel-allow-unclaimed", "tunnel", "data-link allow-list: port not claimed", "tunnel/rep_read.cpp",
     [("if (!isMainConnected() || !announcedPorts.claim(port)) {", "if (!isMainConnected()) {")], ["unit", "e2e"]),
    ("tunnel-seq", "tunnel", "a packet out of sequence accepted", "tunnel/rep_read.cpp",
     [("if (seq != recvSeq) {", "if (seq > recvSeq) {")], ["unit"]),
    ("tunnel-peer-limit", "tunnel", "off-by-one in the streams per contact", "tunnel/application_parser.cpp",
     [("countListedStreams(e.user.c_str()) >= kMaxStreamsPerPeer", "countListedStreams(e.user.c_str()) > kMaxStreamsPerPeer")],
     ["unit"]),
    ("tunnel-service-disabled", "tunnel", "a stream for a disabled service accepted", "tunnel/application_parser.cpp",
     [("skypeModel.isAcceptablePeer(e.user.c_str()) && config->isServiceEnabled(serviceIndex) == 1",
       "skypeModel.isAcceptablePeer(e.user.c_str())")], ["unit"]),
    ("tunnel-free-slots", "tunnel", "wrong free-slot count in a packet's header", "tunnel/skype_stream.cpp",
     [("setA2AMainLinkFree(packet, static_cast<uint16_t>(socket->getInboundQueue()->freeSlots()));",
       "setA2AMainLinkFree(packet, static_cast<uint16_t>(socket->getInboundQueue()->freeSlots() + 1));")], ["unit"]),
    # skype: the contact model
    ("skype-any-peer", "skype", "a peer other than the selected one accepted", "skype/skype_model.cpp",
     [("    return isSelectedUser(handle);\n}", "    return handle != nullptr;\n}")], ["unit"]),
    # messenger: seal, pins, settings, flow control
    ("msg-confirm-unchecked", "messenger", "missing seal check: the key confirmation not verified",
     "messenger/crypto/stream_seal.cpp",
     [("if (kind != kConfirm || !receiving.decryptWithAd({}, message, payload) || !payload.empty())",
       "if (kind != kConfirm || !payload.empty())")], ["unit"]),
    ("msg-open-any-state", "messenger", "missing seal check: texts opened before the handshake ends",
     "messenger/crypto/stream_seal.cpp",
     [("return state == Step::Established && receiving.decryptWithAd({}, block, text);",
       "return receiving.decryptWithAd({}, block, text);")], ["unit"]),
    ("msg-nonce-stays", "messenger", "replay accepted: the receive nonce not advanced", "messenger/crypto/noise.cpp",
     [("    plaintext = std::move(out);\n    ++n;", "    plaintext = std::move(out);")], ["unit"]),
    ("msg-pin-mismatch", "messenger", "a pin accepted on mismatch", "messenger/core/stream_blocks.cpp",
     [("""+ groupFingerprint(offered) + "')");\n            return false;""",
       """+ groupFingerprint(offered) + "')");\n            return true;""")], ["unit"]),
    ("msg-pin-file-mismatch", "messenger", "the pin file overwritten with another key", "messenger/trust/pin_file.cpp",
     [("if (pin->key ? *pin->key != key : pin->fingerprint != offered) {",
       "if ((pin->key ? *pin->key != key : pin->fingerprint != offered) && false) {")], ["unit"]),
    ("msg-config-key", "messenger", "settings key read wrong (answer_timeout)", "messenger/support/config.cpp",
     [('} else if (key == "answer_timeout") {', '} else if (key == "answer-timeout") {')], ["unit"]),
    ("msg-ack-window", "messenger", "skipped window update: an acknowledgement frees nothing",
     "messenger/core/stream_blocks.cpp",
     [("        s.unacked.acked(now);\n", "")],
     ["unit"]),
    ("msg-unread-limit", "messenger", "off-by-one in the unread texts acknowledged", "messenger/core/streams.cpp",
     [("if (acked >= maxUnread ||", "if (acked > maxUnread ||")], ["unit"]),
    ("msg-path-resend", "messenger", "blocks in flight on a failed direct path not sent again in band",
     "messenger/core/stream_blocks.cpp",
     [("                transport.sendBlock(s->full, s->sid, b.seq, b.block);\n", "")], ["unit"]),
    ("msg-path-order", "messenger", "a block that overtook others on the direct path taken out of turn",
     "messenger/core/stream_blocks.cpp",
     [("    if (s.mixed && seq != s.recvSeq) {", "    if (false && s.mixed && seq != s.recvSeq) {")], ["unit"]),
    # control and ui: what the window says
    ("control-link-text", "control", "window text wrong (link state)", "control/window_logic.cpp",
     [('return "通信ドライバと認証中";', 'return "通信ドライバと接続中";')], ["unit"]),
    ("ui-connect-button", "ui", "window text wrong (connect button)", "ui/main_window_view.cpp",
     [('connectButton->setText(QStringLiteral("手動接続"));', 'connectButton->setText(QStringLiteral("接続"));')],
     ["unit"]),
    ("ui-dialog-title", "ui", "window text wrong (forward settings title)", "ui/other_dialogs.cpp",
     [('setWindowTitle(QStringLiteral("転送設定ダイアログ"));', 'setWindowTitle(QStringLiteral("転送設定"));')],
     ["unit"]),
]

TSAN_TARGETS = ["tcp_tests", "tunnel_tests", "model_tests", "messenger_tests", "messengerd"]


def run(cmd, log, env=None, cwd=None):
    with open(log, "a") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, env=env, cwd=cwd).returncode


def apply(text, edits):
    for old, new in edits:
        if text.count(old) != 1:
            return None
        text = text.replace(old, new)
    return text


class Scratch:
    def __init__(self, root, jobs, log, label=None):
        self.label = label
        self.failed = ""
        self.root = root
        self.src = root / "src"
        self.jobs = jobs
        self.log = log
        self.configured = set()

    def sync(self):
        """The scratch sources become the repository's working tree."""
        self.src.mkdir(parents=True, exist_ok=True)
        files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                               cwd=REPO, capture_output=True, check=True).stdout.decode().split("\0")
        kept = set()
        for f in filter(None, files):
            s, d = REPO / f, self.src / f
            if not s.is_file():
                continue
            kept.add(d)
            d.parent.mkdir(parents=True, exist_ok=True)
            if not d.exists() or d.read_bytes() != s.read_bytes():
                shutil.copyfile(s, d)  # a fresh time, so that make rebuilds what depends on it
                shutil.copymode(s, d)
        # Files the tree no longer has (moved or deleted) would still be
        # built or checked.
        for d in [p for p in self.src.rglob("*") if p.is_file() and p not in kept]:
            d.unlink()

    def build(self, kind):
        b = self.root / f"build-{kind}"
        args = ["-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCORVANE_WERROR=ON",
                "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
        if kind in ("asan", "tsan"):
            # As scripts/test.sh builds them.
            args += ["-DCORVANE_SANITIZE=" + ("address,undefined" if kind == "asan" else "thread"),
                     "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG", "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"]
        if kind not in self.configured:
            if run(["cmake", "-S", str(self.src), "-B", str(b)] + args, self.log) != 0:
                return None
            self.configured.add(kind)
        targets = []
        if kind == "tsan":
            for t in TSAN_TARGETS:
                targets += ["--target", t]
        if run(["cmake", "--build", str(b), "-j", str(self.jobs)] + targets, self.log) != 0:
            return None
        return b

    def tier(self, tier):
        """0 when the tier's tests pass, 1 when they fail, None when it does not build."""
        kind = {"unit": "normal", "asan": "asan", "tsan": "tsan", "e2e": "asan"}[tier]
        b = self.build(kind)
        if b is None:
            return None
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = "detect_leaks=1:abort_on_error=1"
        env["UBSAN_OPTIONS"] = "print_stacktrace=1"
        env["LSAN_OPTIONS"] = f"suppressions={self.src}/tests/lsan.supp"
        env["TSAN_OPTIONS"] = "halt_on_error=1"
        cmd = ["ctest", "--test-dir", str(b), "-j", str(self.jobs), "--stop-on-failure", "--timeout", "300"]
        if tier == "e2e":
            cmd += ["-L", "e2e"]
        elif tier == "tsan":
            cmd += ["-L", "tcp|tunnel|model|messenger"]
        else:
            cmd += ["-LE", "e2e"]
        if self.label:
            cmd += ["-L", self.label]
        if tier != "e2e" and os.geteuid() == 0 and shutil.which("unshare"):
            # A network namespace of its own: the program's single-instance
            # name (an abstract socket) and the tests' ports cannot meet
            # those of another test run on the machine.
            cmd = ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "sh"] + cmd
        seen = self.log.stat().st_size
        if run(cmd, self.log, env=env) == 0:
            return 0
        with open(self.log, errors="replace") as f:
            f.seek(seen)
            failed = re.findall(r"^\s*\d+ - (\S+)", f.read(), re.M)
        self.failed = failed[0] if failed else "?"
        return 1


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--scratch", default=os.environ.get("FAULTS_SCRATCH", "/tmp/corvane-faults"))
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    p.add_argument("--label")
    p.add_argument("--list", action="store_true")
    p.add_argument("--check", action="store_true")
    p.add_argument("ids", nargs="*")
    a = p.parse_args()

    chosen = [f for f in FAULTS if not a.ids or f[0] in a.ids]
    unknown = set(a.ids) - {f[0] for f in FAULTS}
    if unknown:
        sys.exit("unknown faults: " + " ".join(sorted(unknown)))
    if a.list:
        for fid, layer, what, path, _, tiers in chosen:
            print(f"{fid:28} {layer:9} {','.join(tiers):16} {path}: {what}")
        return 0
    broken = [f[0] for f in chosen if apply((REPO / f[3]).read_text(), f[4]) is None]
    if broken:
        print("faults that do not apply to the sources (each old text must occur once):", " ".join(broken))
        return 2
    if a.check:
        print(f"{len(chosen)} faults apply")
        return 0

    root = Path(a.scratch).resolve()
    root.mkdir(parents=True, exist_ok=True)
    log = root / "faults.log"
    log.write_text("")
    s = Scratch(root, a.jobs, log, a.label)
    s.sync()
    print(f"scratch {root}, log {log}", flush=True)
    # Every tier must pass on the pristine tree before a failure counts as a
    # catch; each tier is checked the first time a fault needs it.
    checked = {}

    def pristine_passes(t):
        if t not in checked:
            started = time.time()
            with open(log, "a") as out:
                out.write(f"\n=== pristine tier {t}\n")
            r = s.tier(t)
            checked[t] = r == 0
            print(f"pristine {t}: {'passes' if r == 0 else 'FAILS' if r == 1 else 'does not build'}"
                  f" ({time.time() - started:.0f} s)", flush=True)
        return checked[t]

    skip_e2e = os.geteuid() != 0
    rows = []
    for fid, layer, what, path, edits, tiers in chosen:
        target = s.src / path
        pristine = (REPO / path).read_text()
        started = time.time()
        verdict = "MISSED"
        caught_by = ""
        for t in tiers:
            if t == "e2e" and skip_e2e:
                continue
            target.write_text(pristine)
            if not pristine_passes(t):
                print(f"the pristine tree fails tier {t}; see {log}")
                return 2
            target.write_text(apply(pristine, edits))
            with open(log, "a") as out:
                out.write(f"\n=== {fid} tier {t}\n")
            r = s.tier(t)
            if r is None:
                verdict = "no-build"
                break
            if r == 1:
                verdict = f"caught ({t})"
                caught_by = s.failed
                break
        target.write_text(pristine)
        rows.append((fid, layer, what, verdict, caught_by))
        print(f"{fid:28} {verdict:14} {time.time() - started:5.0f} s  {what}  {caught_by}", flush=True)

    caught = sum(1 for r in rows if r[3].startswith("caught"))
    lines = [f"{'fault':28} {'layer':9} {'verdict':14} {'what':56} first failing test", "-" * 130]
    lines += [f"{fid:28} {layer:9} {verdict:14} {what:56} {by}" for fid, layer, what, verdict, by in rows]
    lines.append(f"caught {caught} of {len(rows)}")
    table = "\n".join(lines)
    (root / "faults-table.txt").write_text(table + "\n")
    print(table)
    return 0 if caught == len(rows) else 1


if __name__ == "__main__":
    sys.exit(main())
