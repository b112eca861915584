#!/usr/bin/env bash
# Try Parcelo in one command: sets up a fresh Debian 12 machine, builds
# Parcelo, starts a local FTP server on 127.0.0.1 with a scratch root,
# prepares a "Local demo" profile in a scratch settings store and opens
# Parcelo on a few sample files. Press OK and they go up; close the window
# and the script says where they landed and stops the server.
#
# Without a display it runs under Xvfb and presses OK by itself.
# Your own settings are never touched: the demo uses its own store.
set -euo pipefail

# Second stage, inside the virtual display: start Parcelo, press its OK
# button once the window is up, then answer every box it shows with Enter
# ("File transfer completed", or an error) until it closes by itself.
if [ "${1:-}" = --inside ]; then
  shift
  "$@" &
  pid=$!
  main=
  for _ in $(seq 1 100); do
    main=$(xdotool search --onlyvisible --pid "$pid" --name '^Parcelo$' 2>/dev/null | head -n 1) || true
    [ -n "$main" ] && break
    sleep 0.1
  done
  if [ -z "$main" ]; then
    kill "$pid" 2>/dev/null || true
    echo "demo: the window did not appear" >&2
    exit 1
  fi
  sleep 0.5  # the focus goes to OK just after the window shows
  xdotool windowfocus --sync "$main" key space
  for _ in $(seq 1 240); do
    kill -0 "$pid" 2>/dev/null || break
    for box in $(xdotool search --onlyvisible --pid "$pid" --name . 2>/dev/null); do
      [ "$box" = "$main" ] && continue
      xdotool windowfocus --sync "$box" key Return 2>/dev/null || true
    done
    sleep 0.5
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "demo: Parcelo did not finish by itself; closing it" >&2
    kill "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
  exit 0
fi

cd "$(dirname "$0")/.."
root=$PWD

./scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target parcelo regset

work=$(mktemp -d -t parcelo-demo.XXXXXX)
server_root=$work/server
samples=$work/files
mkdir -p "$server_root/incoming" "$server_root/pub/releases" "$samples/My Files"

# --- the sample files -------------------------------------------------------
printf 'Hello from Parcelo.\nThis file goes up in ascii mode.\n' > "$samples/report.txt"
head -c 200000 /dev/urandom > "$samples/photo.bin"
printf 'A name with blanks, sent as text.\n' > "$samples/My Files/notes for you.txt"

# --- the FTP server ---------------------------------------------------------
# pyftpdlib, anonymous with write access, on a port the system picks; it
# writes the port to a file once it listens.
server_pid=
stop_server() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
}
trap stop_server EXIT

/usr/bin/python3 - "$server_root" "$work/port" > "$work/server.log" 2>&1 <<'EOF' &
import os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

root, port_file = sys.argv[1], sys.argv[2]
authorizer = DummyAuthorizer()
authorizer.add_anonymous(root, perm="elradfmwMT")
FTPHandler.authorizer = authorizer
FTPHandler.banner = "Parcelo demo server ready."
server = FTPServer(("127.0.0.1", 0), FTPHandler)
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.address[1]))
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
EOF
server_pid=$!

for _ in $(seq 1 100); do
  [ -s "$work/port" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.log" >&2; echo "demo: the FTP server did not start" >&2; exit 1; }
  sleep 0.1
done
[ -s "$work/port" ] || { echo "demo: the FTP server did not start" >&2; exit 1; }
port=$(cat "$work/port")

# --- the settings store with the "Local demo" profile -----------------------
# Written through the store's own code (bench/regset); layout:
# docs/settings-store.md. Anonymous log-in (the e-mail
# address is the password), upload into the sub-directory "incoming",
# passive mode, .txt files in ascii mode; a web address (a placeholder: the
# demo has no web server) so that the links show after the upload.
headless=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then headless=1; fi
export PARCELO_REGISTRY=$work/registry.db
hosts='Software\Parcelo\Hosts' options='Software\Parcelo\Options'
tab=$'\t'
./build/bench/regset <<EOF
$hosts${tab}lasthost${tab}sz${tab}Local demo
$hosts${tab}emailaddress${tab}sz${tab}demo@parcelo.invalid
$hosts\Local demo${tab}address${tab}sz${tab}127.0.0.1
$hosts\Local demo${tab}port${tab}sz${tab}$port
$hosts\Local demo${tab}anonymous${tab}dword${tab}1
$hosts\Local demo${tab}insub${tab}dword${tab}1
$hosts\Local demo${tab}subdir${tab}sz${tab}incoming
$hosts\Local demo${tab}webaddress${tab}sz${tab}https://example.org/demo/
$options${tab}usefirewall${tab}dword${tab}0
$options${tab}passivemode${tab}dword${tab}1
$options${tab}exit${tab}dword${tab}$headless
$options\Extensions${tab}.txt${tab}sz${tab}
EOF
chmod 600 "$PARCELO_REGISTRY"

echo "Local FTP server on 127.0.0.1:$port, serving $server_root"
echo "Sample files in $samples"
files=("$samples/report.txt" "$samples/photo.bin" "$samples/My Files/notes for you.txt")

# --- Parcelo ----------------------------------------------------------------
if [ $headless -eq 0 ]; then
  echo "Press OK in the Parcelo window to upload them; close it when done."
  "$root/build/app/parcelo" "${files[@]}" || true
else
  # No display: a virtual one, and OK pressed by the script. The profile's
  # exit option closes the window once the files are up.
  echo "No display found: running under Xvfb and pressing OK by itself."
  xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/demo.sh" --inside "$root/build/app/parcelo" "${files[@]}"
fi

stop_server
trap - EXIT

echo
echo "The FTP server has stopped. The uploaded files landed in $server_root/incoming:"
if [ -n "$(ls -A "$server_root/incoming")" ]; then
  (cd "$server_root/incoming" && ls -l)
else
  echo "  (nothing: the upload was not run)"
fi
echo "Everything of the demo (files, server root, settings store) stays in $work"
