#!/usr/bin/env bash
# The layering of src/: each subsystem may include private headers only of the
# subsystems it builds on (the same list its CMakeLists.txt declares), and the
# graph has no cycle. Public headers (<torvi/...>) may be included anywhere.
set -euo pipefail
src=${1:?usage: check_layers.sh SRC_DIR}
declare -A allowed=(
  [core]=""
  [support]="core"
  [stream]="core"
  [imgproc]="core support"
  [ll]="core"
  [epc]="core support imgproc"
  [drivers]="core support stream imgproc epc"
  [api]="core support stream imgproc ll epc drivers"
  [transfer]="core ll api"
  [record]="core stream ll api"
  [vcam]="core support stream imgproc ll"
)
fail=0
for sub in "${!allowed[@]}"; do
  [ -d "$src/$sub" ] || continue
  # The CMake declaration must match the table above.
  declared=$(grep -oE "torvi_subsystem\($sub( DEPENDS [a-z ]+)?" "$src/$sub/CMakeLists.txt" |
    sed -E "s/torvi_subsystem\($sub( DEPENDS)? ?//" | tr ' ' '\n' | sort | xargs)
  expected=$(echo "${allowed[$sub]}" | tr ' ' '\n' | sort | xargs)
  if [ "$declared" != "$expected" ]; then
    echo "$sub: CMake declares '$declared', the layering allows '$expected'"; fail=1
  fi
  while IFS= read -r line; do
    file=${line%%:*}
    inc=$(echo "$line" | sed -E 's/.*#include "([a-z_]+)\/.*/\1/')
    if [ "$inc" != "$sub" ] && ! [[ " ${allowed[$sub]} " == *" $inc "* ]]; then
      echo "$file includes a private header of '$inc', which '$sub' does not build on"; fail=1
    fi
  done < <(grep -rnE '#include "[a-z_]+/' "$src/$sub" --include='*.cpp' --include='*.h' --include='*.c' || true)
done
# The runtime services sit below everything: of the public headers they use
# only their own.
if grep -rnE '#include <torvi/' "$src/core" | grep -vE 'torvi/(torvi_log|kx_math|torvi_export)\.h>'; then
  echo "core includes a public header of a higher layer"; fail=1
fi
# No cycle: a depth-first walk over the table.
declare -A state=()
visit() {
  local n=$1
  [ "${state[$n]:-}" = done ] && return 0
  if [ "${state[$n]:-}" = active ]; then echo "dependency cycle through $n"; fail=1; return 0; fi
  state[$n]=active
  for d in ${allowed[$n]}; do visit "$d"; done
  state[$n]=done
}
for sub in "${!allowed[@]}"; do visit "$sub"; done
# Public headers never include private ones.
if grep -rnE '#include "' "$src/../include/torvi" | grep -v 'torvi/'; then
  echo "a public header includes a private header"; fail=1
fi
[ $fail -eq 0 ] && echo "layering: ok"
exit $fail
