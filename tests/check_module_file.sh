#!/usr/bin/env bash
# A module file exports mexFunction alone, under the version node MEX, and
# lists the host's libraries libmx, libmex and libmat as needed.
set -eu
file=$1
exports=$(nm -D --defined-only "$file" | awk '{print $3}' | grep -v '^MEX$' | sort)
if [ "$exports" != "mexFunction@@MEX" ]; then
  echo "unexpected exports in $file:"; echo "$exports"; exit 1
fi
needed=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for lib in libmx.so libmex.so libmat.so; do
  if ! grep -qx "$lib" <<<"$needed"; then
    echo "$file does not list $lib as needed:"; echo "$needed"; exit 1
  fi
done
echo "$file: exports mexFunction@@MEX only; needs libmx, libmex, libmat"
