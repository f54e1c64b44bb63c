#!/usr/bin/env bash
# Fails when a file under src/ includes a header from a layer above its own, or from another handler
# folder. The layers, lowest first: net/, protocol/, core/ (the base, in that order); the handler
# folders (every other folder: game/, chat/, lobby/, ...), which include only the base; platform/,
# which may include the base and the handlers; server/ and lobbyd_main/, the tops of the two programs,
# which may include anything.
#   tests/layering.sh SRC_DIR
set -euo pipefail
src="${1:?usage: layering.sh SRC_DIR}"
rank() { case "$1" in net) echo 0 ;; protocol) echo 1 ;; core) echo 2 ;; platform) echo 4 ;; server|lobbyd_main) echo 5 ;; *) echo 3 ;; esac; }

status=0
while IFS= read -r -d '' file; do
  rel="${file#"$src"/}"
  folder="${rel%%/*}"
  if [ "$folder" = "$rel" ]; then echo "src/$rel: outside every layer's folder"; status=1; continue; fi
  own="$(rank "$folder")"
  while IFS=: read -r line header; do
    dir="${header%%/*}"
    # A header without a folder is none of the layers'; the own folder is always allowed.
    if [ "$dir" != "$header" ] && [ "$dir" != "$folder" ] && [ "$(rank "$dir")" -ge "$own" ]; then
      echo "src/$rel:$line: includes \"$header\", which is not below the $folder/ layer"
      status=1
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" | sed -E 's/^([0-9]+):.*"([^"]+)".*/\1:\2/')
done < <(find "$src" \( -name '*.h' -o -name '*.cpp' \) -print0)
exit "$status"
