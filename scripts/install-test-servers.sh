#!/usr/bin/env bash
# Unpacks the FTP servers that the tests run besides vsftpd and pyftpdlib:
# pure-ftpd (with TLS) and proftpd (with mod_tls). As Debian packages they
# conflict with vsftpd (all provide ftp-server), so they are not installed:
# their packages are fetched with `apt-get download` and unpacked with
# `dpkg-deb -x` into one folder per machine, and only the libraries they
# need are installed with apt. The tests look for them there
# (tests/support/FtpRealServers.cpp).
#
#   scripts/install-test-servers.sh       (called by scripts/install-deps.sh)
#
# The folder is /opt/parcelo-test-servers, or $PARCELO_TEST_SERVERS when
# that is set (for the tests too). Safe to run again: once the folder holds
# a complete tree it does nothing, and needs no network. Remove the folder
# to fetch the packages afresh.
set -euo pipefail

dest=${PARCELO_TEST_SERVERS:-/opt/parcelo-test-servers}
debs=(pure-ftpd pure-ftpd-common proftpd-core proftpd-mod-crypto)
# What the unpacked programs link against (the Depends of the packages above
# that are libraries); most are on every Debian 12 system already.
libs=(libsodium23 libhiredis0.14 libmemcached11 libmemcachedutil2 libpcre2-posix3 libpcre2-8-0
      libssl3 libcap2 libcrypt1 libpam0g libacl1 libidn2-0 libncursesw6 libtinfo6 zlib1g)
# The files the tests use; the tree counts as complete when all are there.
programs=(usr/sbin/pure-ftpd usr/bin/pure-pw usr/sbin/proftpd)
modules=(usr/lib/proftpd/mod_tls.so)
stamp=$dest/.parcelo-unpacked

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${libs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

complete() {
  [ -f "$stamp" ] || return 1
  local f
  for f in "${programs[@]}"; do [ -x "$dest/$f" ] || return 1; done
  for f in "${modules[@]}"; do [ -f "$dest/$f" ] || return 1; done
}

if ! complete; then
  work=$(mktemp -d -t parcelo-test-servers.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  # apt's download sandbox user must be able to write there.
  if id _apt >/dev/null 2>&1 && [ -z "$SUDO" ]; then chown _apt "$work"; fi
  fetch() { (cd "$work" && $SUDO apt-get download -qq "${debs[@]}"); }
  if ! fetch; then
    # A fresh machine may not have the package lists yet.
    $SUDO apt-get update -qq
    fetch
  fi
  # Unpacked beside the final folder, then moved into place: a run that
  # stops half-way leaves no tree that looks complete.
  $SUDO rm -rf "$dest.new"
  $SUDO mkdir -p "$dest.new"
  for f in "$work"/*.deb; do
    $SUDO dpkg-deb -x "$f" "$dest.new"
    dpkg-deb -W --showformat='${Package} ${Version}\n' "$f" | $SUDO tee -a "$dest.new/.parcelo-unpacked" >/dev/null
  done
  $SUDO rm -rf "$dest"
  $SUDO mv "$dest.new" "$dest"
fi

# Each program must find its libraries.
for f in "${programs[@]}" "${modules[@]}"; do
  if ldd "$dest/$f" | grep -q "not found"; then
    echo "install-test-servers: $dest/$f lacks libraries:" >&2
    ldd "$dest/$f" | grep "not found" >&2
    exit 1
  fi
done
