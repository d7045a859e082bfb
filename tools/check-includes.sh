#!/usr/bin/env bash
# Fails on an include that runs the wrong way between the project's folders:
#   model/                 -> model/
#   platform/              -> platform/ model/
#   agent/ master/ slave/  -> agent/ master/ slave/ platform/ model/
#   ua/ tools/ bench/      -> their own folder, platform/ model/
# and on any include that climbs out of its folder with "../". The build's
# include roots already refuse most of these; this names the offending line.
# Usage: tools/check-includes.sh [SOURCE_DIR]
set -u
cd "${1:-$(dirname "$0")/..}" || exit 2

allowed() {
  case "$1" in
    model) echo "model" ;;
    platform) echo "platform model" ;;
    agent | master | slave) echo "agent master slave platform model" ;;
    ua | tools | bench) echo "$1 platform model" ;;
  esac
}

status=0
for folder in model platform agent master slave ua tools bench; do
  [ -d "$folder" ] || continue
  may=$(allowed "$folder")
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    target=$(sed -E 's/.*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$rest")
    top=${target%%/*}
    if [[ "$target" == *../* ]]; then
      echo "$file:$line: includes \"$target\": climbs out of its folder" >&2
      status=1
    elif [[ "$target" == */* && " $may " != *" $top "* ]]; then
      echo "$file:$line: includes \"$target\": $folder/ may include only from: $may" >&2
      status=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder" --include='*.h' --include='*.cpp' --include='*.c' --include='*.hpp')
done
[ "$status" = 0 ] && echo "check-includes: every include runs the allowed way"
exit "$status"
