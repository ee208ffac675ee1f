#!/usr/bin/env bash
# Builds the modules and the conformance program in several ways: natively
# with the project's Release flags, with gcc at -O0, at -O3 -march=native and
# at -O3 -march=x86-64-v4 (AVX-512), with clang at -O2, for 64-bit and 32-bit
# Windows (run under Wine), and for 64-bit ARM Linux (run under qemu-user, with
# the kernels' tests), and runs the native Release build once more on
# processors without AVX-512 and without AVX under qemu-x86_64, so that the
# kernels' AVX2 and SSE2 paths run too. Runs each build's conformance program
# once, checks the Windows module files, and fails unless every results file
# is byte-identical to the native one and the calls and results are the
# recorded ones (expected_digests.txt), and unless every build gives the bits of the
# self-test's recorded calls (toolbox/bitexact_selftest.bin). A build this
# machine cannot run (AVX-512 code on a processor without it, 32-bit programs
# on a kernel without them, aarch64 programs where qemu cannot run them) is
# built all the same and reported as not checked on this machine.
#
# Build trees: build (native Release), build-win64, build-win32, build-aarch64, and
# build-conformance/<variant>; the results files go to build-conformance/.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
JOBS=${JOBS:-2}
OUT=$ROOT/build-conformance
DIGESTS=$ROOT/tests/conformance/expected_digests.txt
mkdir -p "$OUT"
rm -f "$OUT"/*.bin
source "$ROOT/tests/machine_checks.sh"

# Wine's loaders, started directly: Debian's `wine` wrapper starts the 32-bit
# one whenever wine32 is installed, even for a 64-bit program.
WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine

# No tool may be missing: a check that is skipped would pass in silence.
# wine32 is needed only where the 32-bit programs can run: where this kernel
# starts them and ./run could install it (else it says why in WIN32_CANNOT_RUN).
for tool in "$WINE64" wineserver clang++ x86_64-w64-mingw32-g++-posix \
            i686-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump \
            aarch64-linux-gnu-g++ aarch64-linux-gnu-objdump qemu-aarch64 qemu-x86_64; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAILED: $tool is not installed; './run test' installs it" >&2
    exit 1
  fi
done

if [ -z "${WIN32_CANNOT_RUN:-}" ] && runs_32bit_programs >/dev/null && [ ! -x "$WINE32" ]; then
  echo "FAILED: $WINE32 (wine32) is not installed; './run conformance' installs it" >&2
  exit 1
fi

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "  ok: $*"; }
fail() { failed=$((failed + 1)); echo "  FAILED: $*"; }

# The self-test's recorded calls (shipped with the toolbox and the packages)
# through one build, which must give every recorded bit:
#   golden_check NAME COMMAND... (the command ends in: golden check DIR SUFFIX FILE)
GOLDEN=$ROOT/toolbox/bitexact_selftest.bin
golden_check() {
  local name=$1; shift
  if "$@" >"$OUT/$name-selftest.log" 2>&1; then
    pass "$name gives the self-test's recorded bits: $(tr -d '\r' <"$OUT/$name-selftest.log" | tail -n 1)"
  else
    tr -d '\r' <"$OUT/$name-selftest.log" | sed 's/^/    /'
    fail "$name does not give the self-test's recorded bits"
  fi
}

# Configures a tree and builds the conformance program with every module.
build() {
  local dir=$1; shift
  echo "-- building $dir"
  cmake -S "$ROOT" -B "$dir" "$@" >"$OUT/cmake.log" 2>&1 || { cat "$OUT/cmake.log"; exit 1; }
  cmake --build "$dir" -j "$JOBS" --target conformance >"$OUT/build.log" 2>&1 ||
    { cat "$OUT/build.log"; exit 1; }
}

# ---- 64-bit ARM Linux (aarch64): cross-built, run under qemu-user ----------
# The modules, the stand-in host, the conformance program and the kernels'
# tests, built with the project's flags by Debian's aarch64 cross compiler
# (cmake/aarch64-linux-gnu.cmake). Its machine code must hold no fused
# multiply-add; under qemu its results must be the recorded ones (and, with
# the other builds below, byte-identical to the native Release results), and
# every vector path (NEON) must give the scalar bits in the kernels' tests and
# on the kernels' fuzz corpus (fuzz/corpus/path_*, replayed without libFuzzer).
# Where qemu cannot run an aarch64 program, the build is made all the same.
AARCH64_TREE=$ROOT/build-aarch64
AARCH64_EMULATOR=(qemu-aarch64 -L /usr/aarch64-linux-gnu)

# Whether qemu runs aarch64 programs here: a real attempt with a tiny one,
# built beforehand. Prints the reason when it cannot.
runs_aarch64_programs() {
  local probe=$1 status=0
  "${AARCH64_EMULATOR[@]}" "$probe" >"$probe.log" 2>&1 || status=$?
  [ "$status" -eq 42 ] && return 0
  echo "qemu-aarch64 cannot run an aarch64 program: exit status $status, $(head -n 1 "$probe.log")"
  return 1
}

check_aarch64() {
  local started=$SECONDS why status=0
  build "$AARCH64_TREE" -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_TOOLCHAIN_FILE=$ROOT/cmake/aarch64-linux-gnu.cmake"
  cmake --build "$AARCH64_TREE" -j "$JOBS" --target core_tests replay_path_bilinear \
    replay_path_patchwarp replay_path_envelope replay_path_linscore >"$OUT/build.log" 2>&1 ||
    { cat "$OUT/build.log"; exit 1; }
  # No fused multiply-add instruction in the kernels or the entries: the
  # compiler forms them from a product and a sum unless told not to.
  local fused
  fused=$(aarch64-linux-gnu-objdump -d --no-show-raw-insn "$AARCH64_TREE/libnumcore.a" \
            "$AARCH64_TREE"/CMakeFiles/*_mex.dir/modules/*.o |
          awk -F'\t' 'NF >= 2 { split($2, word, " "); print word[1] }' |
          grep -E '^f(n?m(add|sub)|ml[as])$' | sort | uniq -c || true)
  if [ -z "$fused" ]; then
    pass "aarch64 kernels and entries have no fused multiply-add"
  else
    fail "aarch64 kernels or entries use fused multiply-add:"$'\n'"$fused"
  fi
  aarch64-linux-gnu-g++ -x c++ -o "$OUT/aarch64-probe" - <<<'int main() { return 42; }'
  if ! why=$(runs_aarch64_programs "$OUT/aarch64-probe"); then
    not_checked "conformance and kernel tests of the aarch64 build under qemu" "$why"
    return 0
  fi
  echo "aarch64 (qemu):"
  "${AARCH64_EMULATOR[@]}" "$AARCH64_TREE/tests/conformance/conformance" run \
    "$AARCH64_TREE/modules" .mexa64 "$OUT/aarch64.bin" --expect "$DIGESTS" \
    >"$OUT/aarch64.log" 2>&1 || status=$?
  sed 's/^/    /' "$OUT/aarch64.log"
  judge aarch64 "$status"
  golden_check aarch64 "${AARCH64_EMULATOR[@]}" "$AARCH64_TREE/tests/conformance/conformance" \
    golden check "$AARCH64_TREE/modules" .mexa64 "$GOLDEN"
  # The kernels' tests, each vector path against the scalar one, and the
  # kernels' fuzz corpus replayed on the NEON path against the scalar one;
  # ctest runs them through the tree's emulator (CMAKE_CROSSCOMPILING_EMULATOR).
  if ctest --test-dir "$AARCH64_TREE" -R '^(core|fuzz[.]replay[.]path_)' -j "$JOBS" \
       --output-on-failure \
       >"$OUT/aarch64-ctest.log" 2>&1; then
    pass "aarch64 kernel tests under qemu: $(grep -E 'tests passed' "$OUT/aarch64-ctest.log")"
  else
    cat "$OUT/aarch64-ctest.log"
    fail "aarch64 kernel tests fail under qemu"
  fi
  echo "    (aarch64 built, run and tested in $((SECONDS - started)) s)"
}
# ---- end of aarch64 ----------------------------------------------------------

# Linux builds: the project's Release flags, then other flags and another
# compiler; each entry is "name|build tree".
LINUX_BUILDS=("release|$ROOT/build" "gcc-O0|$OUT/gcc-O0" "gcc-O3-native|$OUT/gcc-O3-native"
              "gcc-O3-avx512|$OUT/gcc-O3-avx512" "clang-O2|$OUT/clang-O2")
# Each entry is "name|build tree|toolchain|module suffix|objdump|loader".
WINDOWS_BUILDS=(
  "win64|$ROOT/build-win64|$ROOT/cmake/mingw-w64-x86_64.cmake|.mexw64|x86_64-w64-mingw32-objdump|$WINE64"
  "win32|$ROOT/build-win32|$ROOT/cmake/mingw-w64-i686.cmake|.mexw32|i686-w64-mingw32-objdump|$WINE32"
)

# Whether this machine runs a build's programs; prints the reason when not.
runs_here() {
  case $1 in
    gcc-O3-avx512) runs_avx512 ;;
    win32)
      if [ -n "${WIN32_CANNOT_RUN:-}" ]; then
        echo "$WIN32_CANNOT_RUN"
        return 1
      fi
      runs_32bit_programs ;;
    *) return 0 ;;
  esac
}
ran=()

echo "== Conformance: the same calls through every build, compared byte for byte"
build "$ROOT/build" -DCMAKE_BUILD_TYPE=Release
build "$OUT/gcc-O0" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER=g++ "-DCMAKE_CXX_FLAGS=-O0"
build "$OUT/gcc-O3-native" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER=g++ \
  "-DCMAKE_CXX_FLAGS=-O3 -march=native"
build "$OUT/gcc-O3-avx512" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER=g++ \
  "-DCMAKE_CXX_FLAGS=-O3 -march=x86-64-v4"
build "$OUT/clang-O2" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER=clang++ "-DCMAKE_CXX_FLAGS=-O2"
for entry in "${WINDOWS_BUILDS[@]}"; do
  IFS='|' read -r name dir toolchain suffix objdump loader <<<"$entry"
  build "$dir" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_TOOLCHAIN_FILE=$toolchain"
done

echo "-- running"
# Reports one conformance run from its exit status.
judge() {
  local name=$1 status=$2
  ran+=("$name")
  case $status in
    0) pass "$name gives the recorded results" ;;
    3) fail "$name: its conformance program made other calls than the recorded ones (a fault of that program's build, not of the modules)" ;;
    *) fail "$name does not give the recorded results" ;;
  esac
}

for entry in "${LINUX_BUILDS[@]}"; do
  IFS='|' read -r name dir <<<"$entry"
  if ! why=$(runs_here "$name"); then
    not_checked "conformance of the $name build" "$why"
    continue
  fi
  echo "$name:"
  status=0
  "$dir/tests/conformance/conformance" run "$dir/modules" .mexa64 "$OUT/$name.bin" \
    --expect "$DIGESTS" >"$OUT/$name.log" 2>&1 || status=$?
  sed 's/^/    /' "$OUT/$name.log"
  judge "$name" "$status"
  golden_check "$name" "$dir/tests/conformance/conformance" golden check "$dir/modules" .mexa64 \
    "$GOLDEN"
done

# The Release build on processors this one is not, emulated by qemu-user: the
# processor picks each kernel's path at run time, so only an emulated one runs
# here the paths other machines take: Haswell (AVX2, no AVX-512) and Nehalem
# (SSE2 and SSE4, no AVX).
for cpu in Haswell-v4 Nehalem; do
  name=release-on-$cpu
  echo "$name (qemu-x86_64 -cpu $cpu):"
  status=0
  qemu-x86_64 -cpu "$cpu" "$ROOT/build/tests/conformance/conformance" run "$ROOT/build/modules" \
    .mexa64 "$OUT/$name.bin" --expect "$DIGESTS" >"$OUT/$name.log" 2>/dev/null || status=$?
  sed 's/^/    /' "$OUT/$name.log"
  judge "$name" "$status"
  golden_check "$name" qemu-x86_64 -cpu "$cpu" "$ROOT/build/tests/conformance/conformance" \
    golden check "$ROOT/build/modules" .mexa64 "$GOLDEN"
done

# Wine, headless, in a prefix of its own; one run of each Windows program.
export WINEDEBUG=-all WINEPREFIX=$OUT/wineprefix WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
windows_path() { echo "Z:$1"; }
for entry in "${WINDOWS_BUILDS[@]}"; do
  IFS='|' read -r name dir toolchain suffix objdump loader <<<"$entry"
  if why=$(runs_here "$name"); then
    echo "$name (Wine):"
    status=0
    "$loader" "$dir/host/conformance.exe" run "$(windows_path "$dir/modules")" "$suffix" \
      "$(windows_path "$OUT/$name.bin")" --expect "$(windows_path "$DIGESTS")" \
      >"$OUT/$name.log" 2>&1 || status=$?
    tr -d '\r' <"$OUT/$name.log" | sed 's/^/    /'
    judge "$name" "$status"
    golden_check "$name" "$loader" "$dir/host/conformance.exe" golden check \
      "$(windows_path "$dir/modules")" "$suffix" "$(windows_path "$GOLDEN")"
  else
    not_checked "conformance of the $name build under Wine" "$why"
  fi
  for module in "$dir"/modules/*"$suffix"; do
    if bash "$ROOT/tests/check_windows_module.sh" "$objdump" "$module" >"$OUT/abi.log" 2>&1; then
      pass "$(cat "$OUT/abi.log")"
    else
      fail "$(cat "$OUT/abi.log")"
    fi
  done
done

# 32-bit x86 arithmetic on SSE2 alone: no x87 arithmetic instruction in the
# kernels or the entries (loads and stores of the x87 stack remain: the
# 32-bit calling convention returns a double there).
x87=$(i686-w64-mingw32-objdump -d --no-show-raw-insn "$ROOT/build-win32/libnumcore.a" \
        "$ROOT"/build-win32/CMakeFiles/*_mex.dir/modules/*.obj |
      awk -F'\t' 'NF >= 2 { split($2, word, " "); print word[1] }' |
      grep -E '^f(i?(add|sub|subr|mul|div|divr)p?|sqrt|prem1?|scale|rndint|sin|cos|patan|yl2x)$' |
      sort | uniq -c || true)
if [ -z "$x87" ]; then
  pass "win32 kernels and entries use SSE2 arithmetic only"
else
  fail "win32 kernels or entries use x87 arithmetic:"$'\n'"$x87"
fi

check_aarch64

echo "-- comparing with the native Release results"
compare=$ROOT/build/tests/conformance/conformance
for name in "${ran[@]}"; do
  [ "$name" = release ] && continue
  if [ ! -f "$OUT/$name.bin" ]; then
    fail "$name wrote no results"
  elif "$compare" compare "$OUT/release.bin" "$OUT/$name.bin" | sed 's/^/    /'; then
    pass "$name results are byte-identical to release"
  else
    fail "$name results differ from release"
  fi
done

echo "conformance: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
