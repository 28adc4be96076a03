#!/bin/bash
# Includes point down the layers only: a folder may include itself and the
# folders listed after it.
cd "$1" || exit 2
declare -A below=(
  [image]="image" [core]="core image" [net]="net core image" [output]="output core image"
  [cache]="cache output net core image" [protocol]="protocol cache output net core image"
  [status]="status protocol cache output net core image"
)
status=0
for dir in "${!below[@]}"; do
  allowed="^(${below[$dir]// /|})/"
  while IFS=: read -r file line inc; do
    target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$inc")
    [[ $target =~ $allowed || $target != */* ]] && continue
    echo "$file:$line includes $target, above $dir/"; status=1
  done < <(grep -rn '#include "' "$dir")
done
exit $status
