#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the demo and the Debian
# package (scripts/package.sh) need.
# Idempotent: apt-get runs only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ccache
  clang libclang-rt-14-dev clang-format
  libgtest-dev libgmock-dev
  qt6-base-dev qt6-multimedia-dev libqt6svg6 qt6-translations-l10n
  libsimpleini-dev libstrophe-dev libssl-dev libsodium-dev libidn-dev libnice-dev
  prosody lua5.4-unbound ejabberd
  vsftpd lftp curl python3 socat openssl
  iproute2 procps psmisc libcap2-bin nftables coturn
  xvfb xauth x11-utils imagemagick fonts-ipafont-gothic fonts-ipafont-mincho
  lintian desktop-file-utils appstream dpkg-dev fakeroot file scdoc
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  # Packages like prosody and vsftpd start a system service on install; the tests
  # run their own throwaway instances, so the system ones are stopped again.
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  for svc in prosody ejabberd vsftpd coturn; do
    $SUDO service "$svc" stop >/dev/null 2>&1 || true
    $SUDO update-rc.d "$svc" disable >/dev/null 2>&1 || true
    $SUDO systemctl disable "$svc" >/dev/null 2>&1 || true
  done
fi
