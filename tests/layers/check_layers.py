#!/usr/bin/env python3
"""Checks that every folder includes only its own headers and those of the
layers below it (docs/architecture.md), messengerd's folders included.
Prints each include that goes upwards or sideways and exits 1 if there is
one."""
import os
import re
import sys

# Each folder with the folders it may include from.
ALLOWED = {
    "core": set(),
    "wire": {"core"},
    "tcp": {"core", "wire"},
    "skype": {"core", "wire"},
    "tunnel": {"core", "wire", "tcp", "skype"},
    "control": {"core", "wire", "tcp", "skype", "tunnel"},
    "app": {"core", "wire", "tcp", "skype", "tunnel", "control"},
    "ui": {"core", "wire", "tcp", "skype", "tunnel", "control", "app"},
    "program": {"core", "wire", "tcp", "skype", "tunnel", "control", "app", "ui"},
    # messengerd stands beside the program and uses wire/ only. Its folders:
    # the core reaches the XMPP side through its own interfaces, and the XMPP
    # side may use those interfaces, not the core itself.
    "messenger": set(),
    "messenger/support": set(),
    "messenger/crypto": {"messenger/support"},
    "messenger/trust": {"messenger/support", "messenger/crypto"},
    "messenger/core": {"messenger/support", "messenger/crypto", "messenger/trust", "wire"},
    "messenger/xmpp": {
        "messenger/support",
        "messenger/core/stream_transport.h",
        "messenger/core/xmpp_events.h",
        "messenger/core/xmpp_link.h",
        "messenger/core/direct_path.h",
    },
    # ICE and the byte stream over it: the core reaches it through
    # direct_path.h only.
    "messenger/p2p": {
        "messenger/support",
        "messenger/core/stream_transport.h",
        "messenger/core/direct_path.h",
    },
    "messenger/local": {"messenger/support", "wire"},
    "messenger/daemon": {
        "messenger/support",
        "messenger/crypto",
        "messenger/trust",
        "messenger/core",
        "messenger/xmpp",
        "messenger/p2p",
        "messenger/local",
        "wire",
    },
}
# Folders the model is made of: no Qt in them.
PLAIN_CPP = {"core", "wire", "tcp", "skype", "tunnel", "control"} | {f for f in ALLOWED if f.startswith("messenger")}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def folder_of(path):
    """The folder of ALLOWED that `path` (a file or an include) lies in: the
    longest one that holds it, else its first component."""
    holders = [f for f in ALLOWED if path.startswith(f + "/")]
    return max(holders, key=len) if holders else path.split("/", 1)[0]


def main(root):
    faults = []
    for folder, allowed in ALLOWED.items():
        base = os.path.join(root, folder)
        if not os.path.isdir(base):
            faults.append(f"{folder}/: missing")
            continue
        for dirpath, _, names in os.walk(base):
            for name in sorted(names):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, root)
                if folder_of(rel) != folder:
                    continue  # checked with its own folder
                if folder == "messenger":
                    faults.append(f"{rel}: belongs in one of messenger/'s folders")
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        kind, target = m.groups()
                        if kind == '"' and "/" in target:
                            top = folder_of(target)
                            if top != folder and top not in allowed and target not in allowed:
                                faults.append(f"{rel}:{number}: {folder}/ includes {target}")
                        elif kind == "<" and folder in PLAIN_CPP and target.startswith("Q"):
                            faults.append(f"{rel}:{number}: Qt header {target} in {folder}/")
    for fault in faults:
        print(fault)
    print(f"check_layers: {len(faults)} fault(s)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.getcwd()))
