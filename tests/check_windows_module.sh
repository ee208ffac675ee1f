#!/usr/bin/env bash
# A Windows module file (.mexw64, .mexw32) exports mexFunction alone, imports
# the host's libmx.dll and libmex.dll, and on 32-bit Windows uses the shared
# libgcc DLL, without which the host's error cannot unwind through it.
#   check_windows_module.sh OBJDUMP MODULE_FILE
set -eu
objdump=$1
file=$2
headers=$("$objdump" -p "$file")
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
          sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
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
