#!/usr/bin/env bash
# Fails when a source file includes a layer above its own, or when Qt
# appears below the layers allowed to use it. Usage: check-layering.sh ROOT
#
#   platform/     C++ std, POSIX, SQLite          (its Qt glue: platform/qt/)
#   net/          platform/
#   ftp/          net/, platform/
#   sftp/         net/, platform/
#   upload/       ftp/, sftp/, net/, platform/
#   settings/     platform/ (with platform/qt/), Qt
#   app/          everything
set -u
root=${1:-$(dirname "$0")/../..}
cd "$root" || exit 2

# folder | project folders it may include | whether Qt is allowed
rules=(
  "platform|platform/|no"
  "platform/qt|platform/|yes"
  "net|platform/ net/|no"
  "ftp|platform/ net/ ftp/|no"
  "sftp|platform/ net/ sftp/|no"
  "upload|platform/ net/ ftp/ sftp/ upload/|no"
  "settings|platform/ settings/|yes"
)

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
        if [ "$qt" = no ]; then
          echo "$file:$number: includes <${BASH_REMATCH[1]}>: no Qt in $folder/"
          status=1
        fi
      fi
    done < <(grep -n '^[[:space:]]*#[[:space:]]*include' "$file")
  done
done
[ $status -eq 0 ] && echo "layering: every include points down"
exit $status
