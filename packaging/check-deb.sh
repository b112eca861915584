#!/usr/bin/env bash
# Builds the Debian package from a Release build in BUILD-DIR and checks it:
# its name and control fields, its file list, the desktop entry, the
# AppStream metadata, the manual page, lintian's verdict, and that the
# program unpacked from it starts without files, opens its file chooser and,
# when that is closed, shows its usage box.
#   check-deb.sh BUILD-DIR VERSION APPSTREAM-ID (the package is made in BUILD-DIR)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

# Run under Xvfb by the last check below: starts the unpacked program with
# no file in a scratch home, waits for its file chooser and closes it with
# Escape, waits for the usage box, makes sure it is a dialog box, answers
# it with Enter and expects the program to end with 0.
if [ "${1:-}" = --usage-box ]; then
  prog=$2 home=$3
  mkdir -m 0700 "$home/runtime"
  HOME=$home XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache XDG_RUNTIME_DIR=$home/runtime \
  PARCELO_REGISTRY=$home/registry.db QT_QPA_PLATFORM=xcb \
    timeout 120 "$prog" & pid=$!
  chooser=$(timeout 60 xdotool search --sync --onlyvisible --name 'choose files to send' 2>/dev/null | head -n 1) || chooser=
  if [ -z "$chooser" ]; then
    echo "no file chooser appeared"; kill "$pid" 2>/dev/null; exit 1
  fi
  # Escape again while the chooser is still up: a key sent before the
  # chooser has its focus is lost.
  box=
  for _ in $(seq 120); do
    box=$(xdotool search --onlyvisible --name '^Parcelo$' 2>/dev/null | head -n 1) || box=
    [ -z "$box" ] || break
    if xdotool search --onlyvisible --name 'choose files to send' >/dev/null 2>&1; then
      xdotool windowfocus --sync "$chooser" key Escape 2>/dev/null || true
    fi
    sleep 0.5
  done
  if [ -z "$box" ]; then
    echo "no window named Parcelo appeared"; kill "$pid" 2>/dev/null; exit 1
  fi
  kind=$(xprop -id "$box" _NET_WM_WINDOW_TYPE)
  if ! grep -q _NET_WM_WINDOW_TYPE_DIALOG <<<"$kind"; then
    echo "the window is not the usage box: $kind"; kill "$pid" 2>/dev/null; exit 1
  fi
  xdotool windowfocus --sync "$box" key Return
  rc=0; wait "$pid" || rc=$?
  [ $rc -eq 0 ] || { echo "parcelo ended with $rc after its usage box was answered"; exit 1; }
  [ ! -e "$home/registry.db" ] || { echo "parcelo wrote settings when started without files"; exit 1; }
  exit 0
fi

build=$1 version=$2 appid=$3
scratch=$(mktemp -d -t parcelo-deb.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

status=0
fail() { echo "FAIL: $*" >&2; status=1; }

deb=$("$root/scripts/build-deb.sh" "$build" "$build" | tail -n 1)
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "parcelo_${version}_${arch}.deb" ] || fail "the package is $(basename "$deb"), not parcelo_${version}_${arch}.deb"
echo "package: $deb ($(stat -c %s "$deb") bytes)"

# Control fields. The dependencies come from dpkg-shlibdeps: the libraries
# the program links must all be there, ssh for sftp:// and the SVG plugin
# that draws the window icon, which no link shows.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = parcelo ] || fail "Package is $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version is $(field Version), not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is $(field Architecture)"
depends=$(field Depends)
echo "depends: $depends"
names=$(sed -E 's/ *\([^)]*\)//g; s/ *, */\n/g' <<<"$depends")
for lib in libc6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6dbus6 libsqlite3-0 libstdc++6 openssh-client libqt6svg6; do
  grep -qxF "$lib" <<<"$names" || fail "Depends lacks $lib: $depends"
done

# The file list, exactly: every file with its mode, all below /usr and
# owned by root.
expected=$(sort <<'EOF'
-rwxr-xr-x ./usr/bin/parcelo
-rwxr-xr-x ./usr/lib/parcelo/parcelo-askpass
-rw-r--r-- ./usr/share/applications/parcelo.desktop
-rw-r--r-- ./usr/share/doc/parcelo/changelog.gz
-rw-r--r-- ./usr/share/doc/parcelo/copyright
-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/parcelo.svg
-rwxr-xr-x ./usr/share/kio/servicemenus/parcelo.desktop
-rw-r--r-- ./usr/share/kservices5/ServiceMenus/parcelo.desktop
-rw-r--r-- ./usr/share/man/man1/parcelo.1.gz
-rw-r--r-- ./usr/share/metainfo/APPID.metainfo.xml
-rw-r--r-- ./usr/share/parcelo/Readme.txt
-rwxr-xr-x ./usr/share/parcelo/nautilus/Send to Parcelo
-rw-r--r-- ./usr/share/parcelo/thunar/parcelo-thunar-uca.xml
EOF
)
expected=${expected//APPID/$appid}
listing=$(dpkg-deb -c "$deb")
actual=$(grep -v '^d' <<<"$listing" | sed -E 's/^(\S+) +\S+ +\S+ +\S+ +\S+ +(.*)$/\1 \2/' | sort)
[ "$actual" = "$expected" ] || fail "file list differs:
$(diff <(echo "$expected") <(echo "$actual") || true)"
grep -v '^d' <<<"$listing" | awk '$2 != "root/root" {print "FAIL: not owned by root: " $0; bad=1} END {exit bad}' >&2 || status=1
grep '^d' <<<"$listing" | awk '$1 != "drwxr-xr-x" {print "FAIL: folder mode: " $0; bad=1} END {exit bad}' >&2 || status=1

unpacked=$scratch/root
dpkg -x "$deb" "$unpacked"

# The desktop entry; the validator prints its complaints, warnings included.
entry=$unpacked/usr/share/applications/parcelo.desktop
complaints=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate failed"
[ -z "$complaints" ] || fail "desktop-file-validate: $complaints"

# The AppStream metadata: valid, launching the installed desktop entry, and
# naming this version as its newest release.
metainfo=$unpacked/usr/share/metainfo/$appid.metainfo.xml
appstreamcli validate --no-net "$metainfo" >"$scratch/appstream.log" 2>&1 \
  || fail "appstreamcli validate: $(cat "$scratch/appstream.log")"
launchable=$(sed -n 's:.*<launchable type="desktop-id">\([^<]*\)</launchable>.*:\1:p' "$metainfo")
[ -n "$launchable" ] && [ -f "$unpacked/usr/share/applications/$launchable" ] \
  || fail "the metainfo launches '$launchable', which the package does not install"
release=$(sed -n 's:.*<release version="\([^"]*\)".*:\1:p' "$metainfo" | head -n 1)
[ "$release" = "$version" ] || fail "the metainfo's newest release is $release, not $version"
changelog=$(zcat "$unpacked/usr/share/doc/parcelo/changelog.gz" | head -n 1)
[[ $changelog == "parcelo ($version) "* ]] || fail "the changelog's newest entry is not $version: $changelog"

# The manual page: man reads it without a complaint.
manlog=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
           "$unpacked/usr/share/man/man1/parcelo.1.gz" 2>&1 >/dev/null) || fail "man could not read the manual page"
[ -z "$manlog" ] || fail "man: $manlog"

# lintian: no error, and every warning it still gives is explained in
# docs/packaging.md.
lintian_rc=0
lintian "$deb" >"$scratch/lintian.log" 2>"$scratch/lintian.err" || lintian_rc=$?
cat "$scratch/lintian.log"
[ $lintian_rc -eq 0 ] || fail "lintian reported errors (status $lintian_rc): $(grep -v 'running with root privileges' "$scratch/lintian.err")"
while read -r tag; do
  grep -q -- "$tag" "$root/docs/packaging.md" || fail "lintian warning $tag is not explained in docs/packaging.md"
done < <(sed -n 's/^W: parcelo: \([a-z0-9-]*\).*/\1/p' "$scratch/lintian.log" | sort -u)

# The unpacked program starts with no file and shows its usage box.
mkdir -p "$scratch/home"
xvfb-run -a -s "-screen 0 1024x768x24" "$here/check-deb.sh" --usage-box "$unpacked/usr/bin/parcelo" "$scratch/home" \
  || fail "the unpacked program did not show its usage box and end"

[ $status -eq 0 ] && echo "package check: all well"
exit $status
