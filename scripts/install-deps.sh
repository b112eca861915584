#!/usr/bin/env bash
# Installs every Debian 12 package that building, running, testing and
# benchmarking Parcelo needs, then unpacks the test servers that cannot be
# installed beside vsftpd (scripts/install-test-servers.sh). Safe to run
# again; does nothing when all is there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libgl-dev libqt6svg6
  libsqlite3-dev sqlite3
  libssl-dev openssl python3-openssl
  libgtest-dev googletest
  clang-14 libclang-rt-14-dev clang-format-14
  vsftpd python3 python3-pyftpdlib
  openssh-client openssh-server python3-asyncssh
  xvfb xauth imagemagick x11-utils xdotool xclip
  dbus python3-dbusmock
  curl desktop-file-utils bc
  dpkg-dev file lintian appstream
  fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

"$(dirname "$0")/install-test-servers.sh"
