#!/bin/sh
# Nautilus script: "Scripts > Send to Parcelo" hands the selected files to
# Parcelo. Nautilus starts a script in the folder shown, with the selected
# names as arguments, so names with blanks arrive whole.
#
# Installed as <prefix>/share/parcelo/nautilus/Send to Parcelo and linked
# into ~/.local/share/nautilus/scripts; the program is looked for in the
# same prefix first, then on the PATH.
here=$(dirname "$(readlink -f "$0")")
program=$here/../../../bin/parcelo
[ -x "$program" ] || program=parcelo
exec "$program" "$@"
