#!/usr/bin/env bash
# Installs the Debian package in a throwaway root and tries it, leaving the
# machine untouched: a mount, PID and network namespace of its own (whatever
# it mounts and starts goes away with it), an overlay whose lower layer is /
# and whose changes go to a tmpfs, chroot into it, dpkg -i there. Then: the
# installed files and what postinst did (the program's capability); as a
# user made inside the overlay, messengerd --help and the program through the
# launcher without a display (the per-user directory with its link, INI file
# and log; a second start refused; SIGTERM ends it) and the launcher's
# refusals; the README's steps from the setup to a page fetched through the
# tunnel, as two users on two PCs (network namespaces) with a Prosody that
# lets them register; an upgrade and an administrator's dpkg-statoverride;
# dpkg -r (the package stays as config-files) and dpkg -P. Bounded in time
# (SMOKE_TIMEOUT seconds, 240 by default).
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
         usr/lib/systemd/user/messengerd.service etc/xdg/autostart/messengerd.desktop \
         usr/share/man/man1/{corvanefortcp,messengerd}.1.gz \
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
autostart=$r/etc/xdg/autostart/messengerd.desktop
check "the autostart entry starts messengerd, and only where it is installed" \
  sh -c "grep -qx 'Exec=messengerd' '$autostart' && grep -qx 'TryExec=messengerd' '$autostart'"
check "  ... a conffile" \
  sh -c "chroot '$r' dpkg-query -W -f='\${Conffiles}' corvanefortcp | grep -q '^ /etc/xdg/autostart/messengerd.desktop '"
check "the manual pages are roff" sh -c "zcat '$r/usr/share/man/man1/messengerd.1.gz' | grep -q '^\.TH \"messengerd\" \"1\"'"
program=/usr/lib/corvanefortcp/corvanefortcp
check "postinst gave the program cap_net_bind_service" sh -c "getcap '$r$program' | grep -q 'cap_net_bind_service=ep'"
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
check "  ... and prints the usage on standard output" grep -q '^usage: messengerd ' <<<"$out"
as_user HOME=$home messengerd >/dev/null 2>"$scratch/err" && st=0 || st=$?
check "messengerd without a configuration (autostarted for a user who has none) ends with exit status 2" \
  test "$st" -eq 2
sed 's/^/        /' "$scratch/err"

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

echo "== the README's steps on two PCs: alice on PC A, bob on PC B"
# wait_for SECONDS COMMAND...: COMMAND every 0.2 s until it succeeds (0) or
# SECONDS have passed (1).
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
# Each PC is a network namespace of its own, held by a sleeping process
# (both end with the PID namespace); this one, the XMPP server's, reaches
# them by veth pairs. The server is 10.77.0.1 (corvane.test) for both.
declare -A holder uid_of
for pc in a b; do
  unshare --net sleep 600 &
  holder[$pc]=$!
done
own_net=$(readlink /proc/self/ns/net)
other_net() { [ "$(readlink "/proc/$1/ns/net" 2>/dev/null)" != "$own_net" ]; }
on_pc() {  # PC COMMAND...: in that PC's network namespace
  local pc=$1; shift
  nsenter --net="/proc/${holder[$pc]}/ns/net" "$@"
}
net=1
ip addr add 10.77.0.1/32 dev lo || net=0
n=1
for pc in a b; do
  wait_for 5 other_net "${holder[$pc]}" &&
    ip link add "x$pc" type veth peer name "${pc}x" netns "${holder[$pc]}" &&
    ip addr add "10.77.$n.1/24" dev "x$pc" && ip link set "x$pc" up &&
    on_pc $pc ip link set lo up && on_pc $pc ip addr add "10.77.$n.2/24" dev "${pc}x" &&
    on_pc $pc ip link set "${pc}x" up && on_pc $pc ip route add default via "10.77.$n.1" || net=0
  n=$((n + 1))
done
check "two PCs, each a network namespace, the server reachable from both" test $net -eq 1
# The server's name as a user's /etc/hosts could have it; DNS (for the SRV
# record) fails at once.
echo "10.77.0.1 corvane.test" >>"$r/etc/hosts"
rm -f "$r/etc/resolv.conf" && echo "nameserver 127.0.0.1" >"$r/etc/resolv.conf"

# Prosody as Debian ships it in what matters here (STARTTLS required, a
# certificate of a CA the system does not know), with in-band registration.
x=$r/tmp/xmpp
mkdir -p "$x/data" && chmod 700 "$x/data"
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${ec[@]}" -days 2 -subj "/CN=CorvaneForTcp smoke CA" \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$x/ca.key" -out "$x/ca.crt" >"$x/openssl.log" 2>&1 &&
  openssl req -new "${ec[@]}" -subj "/CN=corvane.test" -keyout "$x/server.key" -out "$x/server.csr" \
    >>"$x/openssl.log" 2>&1 &&
  openssl x509 -req -in "$x/server.csr" -CA "$x/ca.crt" -CAkey "$x/ca.key" -CAcreateserial -days 2 \
    -extfile <(printf 'subjectAltName=DNS:corvane.test\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:false\n') \
    -out "$x/server.crt" >>"$x/openssl.log" 2>&1 || cat "$x/openssl.log"
chmod 644 "$x/ca.crt"
cat >"$x/prosody.cfg.lua" <<'EOF'
run_as_root = true
pidfile = "/tmp/xmpp/prosody.pid"
data_path = "/tmp/xmpp/data"
log = { info = "/tmp/xmpp/prosody.log" }
interfaces = { "10.77.0.1" }
c2s_ports = { 5222 }
c2s_direct_tls_ports = { }
s2s_ports = { }
http_ports = { }
https_ports = { }
modules_enabled = { "roster"; "saslauth"; "tls"; "disco"; "ping"; "posix"; "register" }
modules_disabled = { "s2s" }
allow_registration = true
c2s_require_encryption = true
authentication = "internal_hashed"
certificates = "/tmp/xmpp"
ssl = { key = "/tmp/xmpp/server.key"; certificate = "/tmp/xmpp/server.crt" }
VirtualHost "corvane.test"
EOF
in_root prosody --config /tmp/xmpp/prosody.cfg.lua -F >"$x/prosody.out" 2>&1 &
listening() { ss -Hltn | awk '{print $4}' | grep -qx "$1"; }
check "Prosody listens on corvane.test (10.77.0.1:5222)" wait_for 15 listening 10.77.0.1:5222

# PC B serves a page on its loopback address, port 80.
mkdir -p "$r/tmp/www" && echo "<html><body>PC B says hello</body></html>" >"$r/tmp/www/index.html"
on_pc b chroot "$r" /usr/bin/python3 -m http.server 80 --bind 127.0.0.1 --directory /tmp/www \
  >"$scratch/http.log" 2>&1 &

# as_pc PC COMMAND...: as the PC's user, in the PC's network namespace, with
# only the user's environment, for 30 s at most.
declare -A user_of=([a]=alice [b]=bob) peer_of=([a]=b [b]=a)
for pc in a b; do
  in_root useradd --create-home --home-dir "/home/${user_of[$pc]}" --shell /bin/sh "corv${user_of[$pc]}"
  uid_of[$pc]=$(in_root id -u "corv${user_of[$pc]}")
done
as_pc() {
  local pc=$1; shift
  timeout -k 2 30 nsenter --net="/proc/${holder[$pc]}/ns/net" chroot --userspec="${uid_of[$pc]}:${uid_of[$pc]}" "$r" \
    env -i PATH=/usr/bin:/bin LANG=C.UTF-8 HOME="/home/${user_of[$pc]}" "$@"
}
# start_as_pc PC OUTPUT COMMAND...: the same in the background, unbounded;
# the command's pid in $started (nsenter, chroot, env and the launcher each
# exec the next).
start_as_pc() {
  local pc=$1 output=$2; shift 2
  nsenter --net="/proc/${holder[$pc]}/ns/net" chroot --userspec="${uid_of[$pc]}:${uid_of[$pc]}" "$r" \
    env -i PATH=/usr/bin:/bin LANG=C.UTF-8 HOME="/home/${user_of[$pc]}" "$@" >"$output" 2>&1 </dev/null &
  started=$!
}
jid() { echo "${user_of[$1]}@corvane.test"; }

set_up() {  # PC CONF: what --setup said and wrote
  grep -q "created the account $(jid $1)" "$scratch/setup-$1.out" &&
    grep -q "logged in to corvane.test" "$scratch/setup-$1.out" &&
    [ "$(stat -c '%a %u' "$2")" = "600 ${uid_of[$1]}" ]
}
for pc in a b; do
  conf=$r/home/${user_of[$pc]}/.config/corvane/messengerd.conf
  printf '%s-secret\n' "${user_of[$pc]}" | as_pc $pc messengerd --setup --register --jid "$(jid $pc)" \
    --contact "$(jid ${peer_of[$pc]})" --password-stdin --tls-ca-file /tmp/xmpp/ca.crt >"$scratch/setup-$pc.out" 2>&1 &&
    st=0 || st=$?
  check "2. PC ${pc^^}: messengerd --setup --register --jid $(jid $pc) --contact $(jid ${peer_of[$pc]}) ... exits 0" \
    test "$st" -eq 0
  check "  ... created the account, logged in and wrote ~/.config/corvane/messengerd.conf (mode 0600)" \
    set_up $pc "$conf"
  [ "$st" -eq 0 ] || sed 's/^/        /' "$scratch/setup-$pc.out"
done

declare -A fingerprint
for pc in a b; do
  fingerprint[$pc]=$(as_pc $pc messengerd --fingerprint 2>"$scratch/err") || sed 's/^/        /' "$scratch/err"
  check "3. PC ${pc^^}: messengerd --fingerprint prints 40 hex digits in groups of four" \
    grep -Eqx '([0-9A-F]{4} ){9}[0-9A-F]{4}' <<<"${fingerprint[$pc]}"
done
for pc in a b; do
  peer=${peer_of[$pc]}
  out=$(as_pc $pc messengerd --trust "$(jid $peer)" "${fingerprint[$peer]}" 2>&1) && st=0 || st=$?
  check "   PC ${pc^^}: messengerd --trust $(jid $peer) FINGERPRINT" \
    grep -qxF "trusted the key of $(jid $peer): fingerprint ${fingerprint[$peer]}" <<<"$out"
  [ "$st" -eq 0 ] || echo "        exit status $st: $out"
done

declare -A daemon
for pc in a b; do
  start_as_pc $pc "$scratch/messengerd-$pc.log" messengerd
  daemon[$pc]=$started
done
for pc in a b; do
  check "4. PC ${pc^^}: messengerd started by hand logs in over TLS" \
    wait_for 20 grep -q "online as $(jid $pc)" "$scratch/messengerd-$pc.log"
done
as_pc a messengerd >"$scratch/second.out" 2>&1 && st=0 || st=$?
check "   a second messengerd of alice's says so and exits 0" test "$st" -eq 0
sed 's/^/        /' "$scratch/second.out"
check "   ... and the first one runs on" kill -0 "${daemon[a]}"

# PC A is the client application; PC B keeps the INI file the program writes.
as_pc a sh -c 'umask 077 && mkdir -p "$HOME/.local/share/corvanefortcp" &&
  printf "[SYSTEM]\r\nAPPMODE=1\r\n" >"$HOME/.local/share/corvanefortcp/CorvaneForTcp.ini"'
declare -A prog
for pc in b a; do
  start_as_pc $pc "$scratch/trace-$pc.txt" corvanefortcp -D119
  prog[$pc]=$started
done
traced() { [ -f "$scratch/trace-$1.txt" ] && LC_ALL=C grep -aEq -- "$2" "$scratch/trace-$1.txt"; }
for pc in b a; do
  check "5. PC ${pc^^}: corvanefortcp without a display, attached to messengerd" wait_for 30 traced $pc '^LAMPS '
done
check "   PC A sees bob's applications" wait_for 30 traced a "CONNECTABLE $(jid b)"
# The connect button (SIGUSR1), again only while no stream came up: a
# press with streams up would end them.
connected() {
  local deadline=$((SECONDS + 60))
  while [ "$SECONDS" -lt "$deadline" ]; do
    kill -USR1 "${prog[a]}" 2>/dev/null || return 1
    wait_for 5 traced a '^STREAM UP' && return 0
  done
  return 1
}
check "   PC A connects to bob (its streams are up)" connected
# Ports below 1024, listened on by the program of an ordinary user: the
# capability postinst gave it.
a_listens() {  # PORT
  on_pc a ss -Hltnp | awk -v a="127.0.0.1:$1" -v p="pid=${prog[a]}," '$4 == a && index($0, p) { f = 1 } END { exit !f }'
}
check "   PC A, alice's client application, listens on 127.0.0.1:21 and 127.0.0.1:80" \
  wait_for 10 eval "a_listens 21 && a_listens 80"
page=$(as_pc a curl -sS --max-time 20 http://127.0.0.1/ 2>&1) || true
check "6. PC A: curl http://127.0.0.1/ gets PC B's page through the tunnel" grep -q 'PC B says hello' <<<"$page"
grep -q 'PC B says hello' <<<"$page" || echo "        $page"

for p in "${prog[a]}" "${prog[b]}" "${daemon[a]}" "${daemon[b]}"; do kill -TERM "$p" 2>/dev/null || true; done
for p in "${prog[a]}" "${prog[b]}" "${daemon[a]}" "${daemon[b]}"; do
  wait_for 10 sh -c "! kill -0 $p 2>/dev/null" || kill -KILL "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
done
if [ $failures -ne 0 ]; then
  for f in "$scratch"/messengerd-?.log "$scratch"/trace-?.txt "$x/prosody.log"; do
    echo "  --- $f (last lines)"; tail -n 15 "$f" | sed 's/^/        /'
  done
fi

echo "== an upgrade and an administrator's choice"
in_root dpkg -i "/tmp/$(basename "$deb")" >"$scratch/dpkg.log" 2>&1 && st=0 || { st=$?; cat "$scratch/dpkg.log"; }
check "dpkg -i again (an upgrade replaces the program)" test "$st" -eq 0
check "  ... and the new program has cap_net_bind_service again" \
  sh -c "getcap '$r$program' | grep -q 'cap_net_bind_service=ep'"
in_root dpkg-statoverride --add root root 0755 "$program"
in_root dpkg -i "/tmp/$(basename "$deb")" >"$scratch/dpkg.log" 2>&1 && st=0 || { st=$?; cat "$scratch/dpkg.log"; }
check "with a dpkg-statoverride entry for the program, dpkg -i again" test "$st" -eq 0
check "  ... leaves it without the capability" test -z "$(getcap "$r$program")"
check "  ... and says so" grep -q "corvanefortcp: $program has a dpkg-statoverride entry: left as it is, without cap_net_bind_service" \
  "$scratch/dpkg.log"
in_root dpkg-statoverride --remove "$program"

echo "== dpkg -r and dpkg -P"
in_root systemctl --global enable messengerd.service >/dev/null 2>&1
wants=etc/systemd/user/default.target.wants/messengerd.service
check "systemctl --global enable messengerd: the link is there" test -L "$r/$wants"
in_root dpkg -r corvanefortcp >"$scratch/dpkg.log" 2>&1 && st=0 || { st=$?; cat "$scratch/dpkg.log"; }
check "dpkg -r corvanefortcp" test "$st" -eq 0
check "  ... removes the programs" test ! -e "$r/usr/bin/corvanefortcp" -a ! -e "$r/usr/lib/corvanefortcp"
check "  ... keeps the package as config-files (rc), with the autostart entry" \
  sh -c "test \"\$(chroot '$r' dpkg-query -W -f='\${db:Status-Abbrev}' corvanefortcp)\" = 'rc ' && test -f '$r/etc/xdg/autostart/messengerd.desktop'"
check "  ... and masks the user unit" test "$(readlink "$r/etc/systemd/user/messengerd.service")" = /dev/null
in_root dpkg -P corvanefortcp >"$scratch/dpkg.log" 2>&1 && st=0 || { st=$?; cat "$scratch/dpkg.log"; }
check "dpkg -P corvanefortcp" test "$st" -eq 0
check "  ... the package is gone" sh -c "! chroot '$r' dpkg-query -W corvanefortcp >/dev/null 2>&1"
check "  ... with the autostart entry, the enabling's link and the mask" \
  test ! -e "$r/etc/xdg/autostart/messengerd.desktop" -a ! -L "$r/$wants" -a ! -L "$r/etc/systemd/user/messengerd.service"
check "  ... and the users' own files are left to them" \
  test -f "$r/home/alice/.config/corvane/messengerd.conf" -a -f "$r/home/alice/.config/corvane/messengerd.key" \
    -a -f "$r/home/alice/.local/share/corvanefortcp/CorvaneForTcp.ini"

if [ $failures -eq 0 ]; then echo "package-smoke: PASSED"; exit 0; fi
echo "package-smoke: FAILED ($failures checks)"
exit 1
