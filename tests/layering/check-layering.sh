#!/usr/bin/env bash
# Fails when a source file includes a layer above its own, or when Qt
# appears below the layers allowed to use it. Usage: check-layering.sh ROOT
#
#   platform/     C++ std, POSIX, SQLite          (its Qt glue: platform/qt/)
#   net/          platform/
#   ftp/          net/, platform/
#   sftp/         net/, platform/
#   upload/       ftp/, sftp/, net/, platform/
#   settings/     platform/, Qt Core only (no widgets, no platform/qt/)
#   app/          everything
set -u
root=${1:-$(dirname "$0")/../..}
cd "$root" || exit 2

# folder | project folders it may include | whether Qt is allowed (yes,
# no, or core: Qt Core's text, list and object types, no widget or GUI)
rules=(
  "platform|platform/|no"
  "platform/qt|platform/|yes"
  "net|platform/ net/|no"
  "ftp|platform/ net/ ftp/|no"
  "sftp|platform/ net/ sftp/|no"
  "upload|platform/ net/ ftp/ sftp/ upload/|no"
  "settings|platform/ settings/|core"
)

# The Qt Core headers a "core" layer may include.
core_headers=" QObject QString QStringList QStringView QByteArray QList QRegularExpression QtCore/QObject QtCore/QString "

status=0
for rule in "${rules[@]}"; do
  IFS='|' read -r folder allowed qt <<<"$rule"
  for file in "$folder"/*.h "$folder"/*.cpp; do
    [ -e "$file" ] || continue
    while IFS= read -r line; do
      number=${line%%:*}
      text=${line#*:}
      if [[ $text =~ \#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
        target=${BASH_REMATCH[1]}
        case $target in */*) ;; *) continue ;; esac  # a file beside this one
        ok=no
        for prefix in $allowed; do
          case $target in
            platform/qt/*) [ "$qt" = yes ] && [ "$prefix" = platform/ ] && ok=yes ;;
            "$prefix"*) ok=yes ;;
          esac
        done
        if [ $ok = no ]; then
          echo "$file:$number: includes \"$target\", which is not below $folder/"
          status=1
        fi
      elif [[ $text =~ \#[[:space:]]*include[[:space:]]*\<(Q[A-Za-z]*|Qt[A-Za-z]*/[^>]*)\> ]]; then
        header=${BASH_REMATCH[1]}
        if [ "$qt" = no ]; then
          echo "$file:$number: includes <$header>: no Qt in $folder/"
          status=1
        elif [ "$qt" = core ] && [[ $core_headers != *" $header "* ]]; then
          echo "$file:$number: includes <$header>: only Qt Core's plain types in $folder/"
          status=1
        fi
      fi
    done < <(grep -n '^[[:space:]]*#[[:space:]]*include' "$file")
  done
done
[ $status -eq 0 ] && echo "layering: every include points down"
exit $status
