#!/usr/bin/env bash
# messengerd --setup against a real Prosody (Debian's settings: STARTTLS
# required, a certificate of the harness's CA): the right password gives a
# file of mode 0600 that the daemon logs in with; a wrong password, an
# untrusted certificate and a server without registration leave no file; with
# registration allowed, --register creates an account that logs in, and a
# second --register of the same name reports the name taken.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_setup() { TWOPC_PROSODY=default TWOPC_SERVER_ONLY=1; }

# setup_run NAME PASSWORD ARGS...: messengerd --setup on PC A for the account
# NAME@corvane.test, the password on standard input, config
# $TWOPC_SCRATCH/setup/NAME.conf; its output in $TWOPC_SCRATCH/setup/NAME.out,
# its exit status in SETUP_STATUS.
setup_run() {
    local name=$1 password=$2; shift 2
    local d=$TWOPC_SCRATCH/setup
    mkdir -p "$d"
    printf '%s\n' "$password" | twopc_exec a timeout 60 "$MESSENGERD" --setup --config "$d/$name.conf" \
        --jid "$name@$TWOPC_DOMAIN" --password-stdin --server "$TWOPC_DOMAIN" --port "$TWOPC_XMPP_PORT" "$@" \
        >"$d/$name.out" 2>&1
    SETUP_STATUS=$?
    sed 's/^/  | /' "$d/$name.out"
    cat "$d/$name.out" >>"$d/all-runs.log"
}

conf_of() { echo "$TWOPC_SCRATCH/setup/$1.conf"; }
said() { grep -q -- "$2" "$TWOPC_SCRATCH/setup/$1.out"; }  # NAME TEXT
status_is() { [ "$SETUP_STATUS" = "$1" ] || { echo "  exit status $SETUP_STATUS, expected $1"; return 1; }; }
# no_file NAME: neither the file nor a temporary one beside it.
no_file() { [ ! -e "$(conf_of "$1")" ] && ! compgen -G "$TWOPC_SCRATCH/setup/.$1.conf.*" >/dev/null; }

# daemon_logs_in NAME: messengerd started with the written file as it is
# logs in (its "online as" line), then is stopped.
daemon_logs_in() {
    local out=$TWOPC_SCRATCH/setup/$1-daemon.out rc=0
    twopc_spawn a "daemon-$1" "$out" "$MESSENGERD" --config "$(conf_of "$1")"
    twopc_wait_until 20 grep -q "online as $1@$TWOPC_DOMAIN" "$out" || { tail -n 5 "$out" | sed 's/^/  /'; rc=1; }
    twopc_stop_pid "$(twopc_pid_of "daemon-$1")" 5
    return $rc
}

e2e_main() {
    local ca=$TWOPC_SCRATCH/ca/ca.crt contact=pcb@$TWOPC_DOMAIN

    setup_run pca pca-secret --tls-ca-file "$ca" --contact "$contact"
    e2e_check "right password: exit status 0" status_is 0
    e2e_check "  the login was checked" said pca "logged in to $TWOPC_DOMAIN:$TWOPC_XMPP_PORT as pca@$TWOPC_DOMAIN"
    e2e_check "  the file has mode 0600" eval "[ \"\$(stat -c %a '$(conf_of pca)')\" = 600 ]"
    e2e_check "  the next steps name the fingerprint" said pca "messengerd --config $(conf_of pca) --fingerprint"
    e2e_check "  messengerd logs in with the file as it is" daemon_logs_in pca
    rm -f "$(conf_of pca)"

    setup_run pca wrong-secret --tls-ca-file "$ca"
    e2e_check "wrong password: exit status 1" status_is 1
    e2e_check "  says not authorized" said pca "refused pca@$TWOPC_DOMAIN with this password (not authorized)"
    e2e_check "  no file" no_file pca

    setup_run pca pca-secret
    e2e_check "CA not named: exit status 1" status_is 1
    e2e_check "  says why, as the daemon does" said pca "does not verify: .*name the CA's certificate with tls_ca_file"
    e2e_check "  no file" no_file pca

    setup_run newbie newbie-secret --tls-ca-file "$ca" --register
    e2e_check "registration not allowed: exit status 1" status_is 1
    e2e_check "  says the server does not offer it" said newbie "does not offer the creation of accounts"
    e2e_check "  no file" no_file newbie

    # The same server, now letting clients create accounts.
    twopc_stop_pid "$(twopc_pid_of prosody)" 10
    TWOPC_REGISTRATION=1 twopc_prosody_config x "$TWOPC_DOMAIN" || return 1
    twopc_restart_prosody || return 1
    setup_run newbie newbie-secret --tls-ca-file "$ca" --register
    e2e_check "registration allowed: exit status 0" status_is 0
    e2e_check "  the account was created" said newbie "created the account newbie@$TWOPC_DOMAIN"
    e2e_check "  and logged in" said newbie "logged in to .* as newbie@$TWOPC_DOMAIN"
    e2e_check "  messengerd logs in as the new account" daemon_logs_in newbie
    mv "$(conf_of newbie)" "$TWOPC_SCRATCH/newbie.conf.first"

    setup_run newbie other-secret --tls-ca-file "$ca" --register
    e2e_check "the same name again: exit status 1" status_is 1
    e2e_check "  says the name is taken" said newbie "the name newbie@$TWOPC_DOMAIN is taken"
    e2e_check "  no file" no_file newbie

    e2e_check "no sanitizer report from setup or the daemon" \
        eval "! grep -aE 'ERROR: (Address|Leak|Thread)Sanitizer|runtime error:' '$TWOPC_SCRATCH/setup/all-runs.log' '$TWOPC_SCRATCH'/setup/*-daemon.out"
}
e2e_run "$@"
