#!/usr/bin/env bash
# Installs the Debian package in a throwaway root and tries it, leaving the
# machine untouched: a mount, PID and network namespace of its own (whatever
# it mounts and starts goes away with it), an overlay whose lower layer is /
# and whose changes go to a tmpfs, chroot into it, dpkg -i there. Then, as a
# user made inside the overlay: messengerd --help; the program through the
# launcher without a display (the per-user directory with its link, INI file
# and log; a second start refused; SIGTERM ends it); the launcher's refusals;
# the installed desktop entry, metadata, icons, unit and documentation; and
# dpkg -r. Bounded in time (SMOKE_TIMEOUT seconds, 240 by default).
# Usage: sudo bash scripts/package-smoke.sh dist/corvanefortcp_VERSION_ARCH.deb
# Exit status: 0 passed, 1 failed, 77 skipped (not root).
set -euo pipefail

if [ "${CORVANE_SMOKE_STAGE:-}" != inner ]; then
  [ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: $0 PACKAGE.deb" >&2; exit 2; }
  if [ "$(id -u)" -ne 0 ]; then
    echo "package-smoke: skipped (needs root for namespaces, the overlay and chroot)"
    exit 77
  fi
  deb=$(realpath "$1")
  scratch=$(mktemp -d /tmp/corvane-smoke.XXXXXX)
  trap 'rmdir "$scratch" 2>/dev/null || true' EXIT
  started=$SECONDS
  status=0
  # The inner stage is PID 1 of its namespace: when it ends, so does every
  # process it started; its mounts vanish with the mount namespace.
  CORVANE_SMOKE_STAGE=inner timeout -k 5 "${SMOKE_TIMEOUT:-240}" \
    unshare --mount --pid --fork --mount-proc --net --ipc --uts --propagation private \
    bash "$0" "$deb" "$scratch" || status=$?
  [ $status -ne 124 ] && [ $status -ne 137 ] || echo "package-smoke: FAILED: out of time"
  echo "package-smoke: $((SECONDS - started)) s"
  exit $((status == 0 ? 0 : 1))
fi

deb=$1
scratch=$2
failures=0
pass() { echo "  ok    $*"; }
fail() { echo "  FAIL  $*"; failures=$((failures + 1)); }
check() {  # description, command...
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

mount -t tmpfs -o mode=0755 corvane-smoke "$scratch"
mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root"
r=$scratch/root
mount -t proc proc "$r/proc"
mount --rbind /dev "$r/dev"
mount --rbind -o ro /sys "$r/sys" 2>/dev/null || mount --rbind /sys "$r/sys"
mount -t tmpfs -o mode=1777 tmp "$r/tmp"
mount -t tmpfs -o mode=0755 run "$r/run"
ip link set lo up 2>/dev/null || true
in_root() { chroot "$r" "$@"; }

echo "== dpkg -i $(basename "$deb") in the throwaway root"
cp "$deb" "$r/tmp/"
if ! in_root dpkg -i "/tmp/$(basename "$deb")" >"$scratch/dpkg.log" 2>&1; then
  cat "$scratch/dpkg.log"
  echo "package-smoke: FAILED: dpkg -i (a dependency missing?)"
  exit 1
fi
pass "dpkg -i: $(in_root dpkg-query -W -f='${Package} ${Version} ${Status}' corvanefortcp)"

echo "== installed files"
icons=""
for s in 16 22 24 32 48 64 128 256; do icons+=" usr/share/icons/hicolor/${s}x${s}/apps/jp.quorvantine.CorvaneForTcp.png"; done
for f in usr/bin/corvanefortcp usr/bin/messengerd usr/lib/corvanefortcp/corvanefortcp; do
  check "$f is an executable" test -f "$r/$f" -a -x "$r/$f"
done
for f in usr/share/applications/jp.quorvantine.CorvaneForTcp.desktop \
         usr/share/metainfo/jp.quorvantine.CorvaneForTcp.metainfo.xml $icons \
         usr/lib/systemd/user/messengerd.service \
         usr/share/doc/corvanefortcp/{README.md,copyright,changelog.gz,messengerd.conf.example} \
         usr/share/doc/corvanefortcp/docs/{messenger.md,security.md,ui.md,ports.md}; do
  check "$f" test -s "$r/$f"
done
check "the launcher is a POSIX sh script" grep -q '^#!/bin/sh' "$r/usr/bin/corvanefortcp"
check "the unit starts /usr/bin/messengerd" grep -q '^ExecStart=/usr/bin/messengerd ' "$r/usr/lib/systemd/user/messengerd.service"
check "the desktop entry starts corvanefortcp with its icon" \
  grep -qx 'Exec=corvanefortcp' "$r/usr/share/applications/jp.quorvantine.CorvaneForTcp.desktop"
check "  ... and Icon=jp.quorvantine.CorvaneForTcp" \
  grep -qx 'Icon=jp.quorvantine.CorvaneForTcp' "$r/usr/share/applications/jp.quorvantine.CorvaneForTcp.desktop"
check "256x256 icon is a 256x256 PNG" \
  sh -c "file -b '$r/usr/share/icons/hicolor/256x256/apps/jp.quorvantine.CorvaneForTcp.png' | grep -q 'PNG image data, 256 x 256'"
if command -v systemd-analyze >/dev/null; then
  if in_root systemd-analyze verify /usr/lib/systemd/user/messengerd.service >"$scratch/verify.log" 2>&1; then
    pass "systemd-analyze verify messengerd.service"
  else
    echo "  note  systemd-analyze verify (not required):"; sed 's/^/        /' "$scratch/verify.log"
  fi
fi

echo "== as an ordinary user, without a display"
in_root useradd --create-home --home-dir /home/smoke --shell /bin/sh corvsmoke
uid=$(in_root id -u corvsmoke)
gid=$(in_root id -g corvsmoke)
home=/home/smoke
dir=$home/.local/share/corvanefortcp
# as_user VAR=VALUE... COMMAND...: in the throwaway root, as the user, with
# only the given environment (no DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM),
# for 20 s at most.
as_user() {
  timeout -k 2 20 chroot --userspec="$uid:$gid" "$r" env -i PATH=/usr/bin:/bin LANG=C.UTF-8 "$@"
}

out=$(as_user HOME=$home messengerd --help 2>"$scratch/err") && st=0 || st=$?
check "messengerd --help exits 0" test "$st" -eq 0
check "  ... and prints the usage on standard output" grep -q '^usage: messengerd --config FILE' <<<"$out"

# Started directly (not through a function), so that $! is the program's
# process: chroot, env and the launcher each exec the next.
chroot --userspec="$uid:$gid" "$r" env -i PATH=/usr/bin:/bin LANG=C.UTF-8 HOME=$home corvanefortcp \
  >"$scratch/first.out" 2>"$scratch/first.err" &
first=$!
ready=0
for _ in $(seq 100); do  # up to 20 s
  if [ -L "$r$dir/corvanefortcp" ] && [ -f "$r$dir/CorvaneForTcp.ini" ] && [ -f "$r$dir/LOG0.log" ]; then
    ready=1
    break
  fi
  kill -0 "$first" 2>/dev/null || break
  sleep 0.2
done
check "started through the launcher, it is running" kill -0 "$first"
check "~/.local/share/corvanefortcp holds the link, CorvaneForTcp.ini and LOG0.log" test $ready -eq 1
check "  ... the link points to /usr/lib/corvanefortcp/corvanefortcp" \
  test "$(readlink "$r$dir/corvanefortcp")" = /usr/lib/corvanefortcp/corvanefortcp
check "  ... the directory has mode 0700 and belongs to the user" \
  test "$(stat -c '%a %u' "$r$dir")" = "700 $uid"
check "the running program is the installed binary, in the user's directory" \
  test "$(readlink /proc/$first/exe)" = "$r/usr/lib/corvanefortcp/corvanefortcp" -a \
       "$(readlink /proc/$first/cwd)" = "$r$dir"

# The second start also repairs a link that points elsewhere.
ln -sfn /nonexistent "$r$dir/corvanefortcp"
as_user HOME=$home corvanefortcp >"$scratch/second.out" 2>"$scratch/second.err" && st=0 || st=$?
check "a second start exits 1" test "$st" -eq 1
check "  ... saying \"既に起動されています.\" on standard error" grep -q '既に起動されています.' "$scratch/second.err"
check "  ... after the launcher pointed a wrong link to the binary again" \
  test "$(readlink "$r$dir/corvanefortcp")" = /usr/lib/corvanefortcp/corvanefortcp

kill -TERM "$first" 2>/dev/null || true
ended=0
for _ in $(seq 50); do  # up to 10 s
  kill -0 "$first" 2>/dev/null || { ended=1; break; }
  sleep 0.2
done
check "SIGTERM ends the program" test $ended -eq 1
wait "$first" 2>/dev/null || true
left=$(pgrep -u "$uid" -a || true)
check "nothing of the user is left running" test -z "$left"
[ -z "$left" ] || echo "$left"

echo "== the launcher's refusals"
rm "$r$dir/corvanefortcp" && echo "not a link" >"$r$dir/corvanefortcp"
as_user HOME=$home corvanefortcp >/dev/null 2>"$scratch/err" && st=0 || st=$?
check "a file in the link's place: exit 1" test "$st" -eq 1
check "  ... with a message on standard error" grep -q 'is in the way: it is not a symbolic link' "$scratch/err"
check "  ... and the file left as it was" grep -sqx 'not a link' "$r$dir/corvanefortcp"
as_user corvanefortcp >/dev/null 2>"$scratch/err" && st=0 || st=$?
check "without HOME: exit 1 saying so" sh -c "test $st -eq 1 && grep -q 'HOME is not set' '$scratch/err'"
mkdir -p "$r$home/xdg/corvanefortcp" && echo "not a link" >"$r$home/xdg/corvanefortcp/corvanefortcp"
as_user HOME=$home XDG_DATA_HOME=$home/xdg corvanefortcp >/dev/null 2>"$scratch/err" && st=0 || st=$?
check "XDG_DATA_HOME is the user's data directory" grep -q "$home/xdg/corvanefortcp/corvanefortcp is in the way" "$scratch/err"

echo "== dpkg -r"
in_root dpkg -r corvanefortcp >"$scratch/dpkg.log" 2>&1 && st=0 || { st=$?; cat "$scratch/dpkg.log"; }
check "dpkg -r corvanefortcp" test "$st" -eq 0
check "  ... removes the programs" test ! -e "$r/usr/bin/corvanefortcp" -a ! -e "$r/usr/lib/corvanefortcp"

if [ $failures -eq 0 ]; then echo "package-smoke: PASSED"; exit 0; fi
echo "package-smoke: FAILED ($failures checks)"
exit 1
