#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks that every desktop file
# landed where the desktop looks for it: check-install.sh BUILD-DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d -t parcelo-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
fail() { echo "FAIL: $*" >&2; status=1; }

for f in bin/parcelo \
         lib/parcelo/parcelo-askpass \
         share/parcelo/Readme.txt \
         share/applications/parcelo.desktop \
         share/icons/hicolor/scalable/apps/parcelo.svg \
         share/kservices5/ServiceMenus/parcelo.desktop \
         share/kio/servicemenus/parcelo.desktop \
         "share/parcelo/nautilus/Send to Parcelo" \
         share/parcelo/thunar/parcelo-thunar-uca.xml \
         share/man/man1/parcelo.1.gz \
         share/doc/parcelo/changelog.gz \
         share/doc/parcelo/copyright \
         share/metainfo/org.example.parcelo.metainfo.xml; do
  [ -f "$prefix/$f" ] || fail "$f was not installed"
done
for f in bin/parcelo lib/parcelo/parcelo-askpass share/kio/servicemenus/parcelo.desktop "share/parcelo/nautilus/Send to Parcelo"; do
  [ -x "$prefix/$f" ] || fail "$f is not executable"
done

entry=$prefix/share/applications/parcelo.desktop
# The validator prints its complaints; warnings count as failures too.
complaints=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate failed"
[ -z "$complaints" ] || fail "desktop-file-validate: $complaints"
grep -qx 'Exec=parcelo %F' "$entry" || fail "the desktop entry does not start parcelo with the files"
# A declared file type would let desktops pick Parcelo as the program that
# opens such files when nothing else claims them; it is offered among all
# applications instead.
if grep -q '^MimeType=' "$entry"; then fail "the desktop entry declares file types: $(grep '^MimeType=' "$entry")"; fi
for f in share/man/man1/parcelo.1.gz share/doc/parcelo/changelog.gz; do
  gzip -t "$prefix/$f" 2>/dev/null || fail "$f is not a gzip file"
done

# The Nautilus script, linked from elsewhere as a user would, starts the
# installed program with the selected names. A stand-in program records
# what it was given.
mkdir -p "$prefix/fake/bin" "$prefix/links" "$prefix/work"
mv "$prefix/bin/parcelo" "$prefix/bin/parcelo.real"
printf '#!/bin/sh\nfor a in "$@"; do printf "%%s\\n" "$a"; done > "%s/got"\n' "$prefix" > "$prefix/bin/parcelo"
chmod +x "$prefix/bin/parcelo"
ln -s "$prefix/share/parcelo/nautilus/Send to Parcelo" "$prefix/links/Send to Parcelo"
(cd "$prefix/work" && "$prefix/links/Send to Parcelo" "a file.txt" "b.bin")
[ "$(cat "$prefix/got" 2>/dev/null)" = "$(printf 'a file.txt\nb.bin')" ] || fail "the Nautilus script did not pass the selected files"

[ $status -eq 0 ] && echo "install check: all files in place"
exit $status
