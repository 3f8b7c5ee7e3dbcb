#!/usr/bin/env bash
# FTP through A's port 21 with real clients in their default and other modes:
# a binary file holding every byte value goes down and up, sha256-equal, and
# B's vsftpd log shows the data-connection command each mode must use.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

lftp_mode() {  # NAME ERE SETTINGS
    local name=$1 cmd=$2 settings=$3
    local s=$TWOPC_SCRATCH src=$TWOPC_SCRATCH/$TWOPC_FTP_FILE mark
    mark=$(e2e_ftp_log_mark)
    e2e_check "lftp $name: get and put" twopc_exec a timeout 180 lftp -c \
        "set net:max-retries 1; set net:timeout 20; $settings open ftp://127.0.0.1:21; get $TWOPC_FTP_FILE -o $s/lftp-$name.bin; put $src -o upload/lftp-$name.bin"
    e2e_check "  download same sha256" e2e_same_file "$src" "$s/lftp-$name.bin"
    e2e_check "  upload same sha256 on B" e2e_same_file "$src" "$s/b/ftp/upload/lftp-$name.bin"
    e2e_check "  B's server saw $cmd" e2e_ftp_log_saw "$mark" "$cmd"
}

e2e_main() {
    e2e_check "test file holds every byte value" e2e_has_every_byte "$TWOPC_SCRATCH/$TWOPC_FTP_FILE"
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_ftp_curl_mode epsv EPSV                                   # curl's default
    e2e_ftp_curl_mode pasv PASV --disable-epsv                    # 227 reply
    e2e_ftp_curl_mode eprt EPRT --ftp-port 127.0.0.1              # active, extended
    e2e_ftp_curl_mode port 'PORT ' --ftp-port 127.0.0.1 --disable-eprt   # active, old form
    lftp_mode default 'EPSV|PASV' ''
    lftp_mode epsv EPSV 'set ftp:prefer-epsv yes;'
    lftp_mode active 'EPRT|PORT ' 'set ftp:passive-mode no;'
}
e2e_run "$@"
