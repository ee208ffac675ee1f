#!/usr/bin/env bash
# A Windows module file (.mexw64, .mexw32) exports mexFunction alone, imports
# the host's libmx.dll and libmex.dll, and on 32-bit Windows uses the shared
# libgcc DLL, without which the host's error cannot unwind through it.
#   check_windows_module.sh OBJDUMP MODULE_FILE
set -eu
objdump=$1
file=$2
headers=$("$objdump" -p "$file")
# The name pointer table lists one export a line, its name last; what stands
# before the name (ordinals, hints, "+base[ 1]") differs between binutils
# releases.
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
          awk '/^[ \t]*\[ *[0-9]+\]/ { print $NF }' | sort)
if [ "$exports" != "mexFunction" ]; then
  echo "unexpected exports in $file:"; echo "${exports:-(none)}"; exit 1
fi
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
for dll in libmx.dll libmex.dll; do
  if ! grep -qx "$dll" <<<"$imports"; then
    echo "$file does not import $dll:"; echo "$imports"; exit 1
  fi
done
if [[ $file == *.mexw32 ]] && ! grep -q '^libgcc_s_.*\.dll$' <<<"$imports"; then
  echo "$file links libgcc statically; the host's error would not unwind through it"; exit 1
fi
echo "$file: exports mexFunction only; imports libmx.dll, libmex.dll"
