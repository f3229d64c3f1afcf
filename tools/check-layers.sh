#!/usr/bin/env bash
# Fails when a source folder includes a header of a folder above it, or of
# sim/ outside app/ (the tests may include anything). The order is the one of
# src/CMakeLists.txt; docs/architecture.md explains it.
set -euo pipefail
root="${1:-$(dirname "$0")/..}"
order=(platform protocol sim core widgets device motion scan calib images files lockin spectro mainwindow remote
       script navigator app)
declare -A rank
for i in "${!order[@]}"; do rank[${order[$i]}]=$i; done

status=0
while IFS= read -r file; do
  rel="${file#"$root"/src/}"
  folder="${rel%%/*}"
  if [[ -z "${rank[$folder]+x}" ]]; then
    echo "$rel: folder '$folder' has no place in the layer order (tools/check-layers.sh)"
    status=1
    continue
  fi
  while IFS= read -r line; do
    target="${line#*\"}"
    target="${target%%/*}"
    [[ "$target" == "$line" || -z "${rank[$target]+x}" ]] && continue
    if [[ "$target" == sim && "$folder" != sim && "$folder" != app ]]; then
      echo "$rel includes $target/: only app/ and the tests reach the simulator"
      status=1
    elif (( rank[$target] > rank[$folder] )); then
      echo "$rel includes $target/, a folder above $folder/"
      status=1
    fi
  done < <(grep -E '^\s*#\s*include\s+"[^"/]+/' "$file" || true)
done < <(find "$root/src" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)

[[ $status -eq 0 ]] && echo "layers: every include points down"
exit $status
