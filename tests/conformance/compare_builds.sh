#!/usr/bin/env bash
# Builds the modules and the conformance program in several ways: natively
# with the project's Release flags, with gcc at -O0 and at -O3 -march=native,
# with clang at -O2, for 64-bit and 32-bit Windows (run under Wine), and for
# 64-bit ARM Linux (run under qemu-user, with the kernels' tests). Runs
# each build's conformance program once, checks the Windows module files, and
# fails unless every results file is byte-identical to the native one and the
# results are the recorded ones (expected_digests.txt).
#
# Build trees: build (native Release), build-win64, build-win32, build-aarch64, and
# build-conformance/<variant>; the results files go to build-conformance/.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
JOBS=${JOBS:-2}
OUT=$ROOT/build-conformance
DIGESTS=$ROOT/tests/conformance/expected_digests.txt
mkdir -p "$OUT"

# No tool may be missing: a check that is skipped would pass in silence.
for tool in wine wineserver clang++ x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix \
            x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump \
            aarch64-linux-gnu-g++ aarch64-linux-gnu-objdump qemu-aarch64; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAILED: $tool is not installed; './run test' installs it" >&2
    exit 1
  fi
done

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "  ok: $*"; }
fail() { failed=$((failed + 1)); echo "  FAILED: $*"; }

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
# (cmake/aarch64-linux-gnu.cmake). Under qemu the results must be the recorded
# ones and byte-identical to the native Release results, and every vector
# path (NEON) must give the scalar bits in the kernels' path tests. Where qemu
# cannot run an aarch64 program, the build is still made but not run.
AARCH64_TREE=$ROOT/build-aarch64
AARCH64_SYSROOT=/usr/aarch64-linux-gnu
AARCH64_EMULATOR=(qemu-aarch64 -L "$AARCH64_SYSROOT")

if ! declare -F not_checked >/dev/null; then
  not_checked_count=0
  not_checked() {
    not_checked_count=$((not_checked_count + 1))
    echo "  not checked on this machine: $1 ($2)"
  }
fi

# Empty when qemu runs a tiny aarch64 program here, else why it does not.
aarch64_emulation_problem() {
  local probe=$OUT/aarch64-probe
  printf 'int main() { return 42; }\n' >"$probe.cpp"
  if ! aarch64-linux-gnu-g++ -o "$probe" "$probe.cpp" 2>"$probe.log"; then
    echo "the cross compiler cannot build a program: $(head -n 1 "$probe.log")"
    return
  fi
  local status=0
  "${AARCH64_EMULATOR[@]}" "$probe" >"$probe.log" 2>&1 || status=$?
  if [ "$status" -ne 42 ]; then
    echo "qemu-aarch64 cannot run an aarch64 program:" \
         "exit status $status, $(head -n 1 "$probe.log")"
  fi
}

check_aarch64() {
  local started=$SECONDS
  build "$AARCH64_TREE" -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_TOOLCHAIN_FILE=$ROOT/cmake/aarch64-linux-gnu.cmake"
  cmake --build "$AARCH64_TREE" -j "$JOBS" --target core_tests >"$OUT/build.log" 2>&1 ||
    { cat "$OUT/build.log"; exit 1; }
  echo "aarch64 (qemu):"
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
  local problem
  problem=$(aarch64_emulation_problem)
  if [ -n "$problem" ]; then
    not_checked "aarch64 results and vector paths under qemu" "$problem"
    return
  fi
  if "${AARCH64_EMULATOR[@]}" "$AARCH64_TREE/tests/conformance/conformance" run \
       "$AARCH64_TREE/modules" .mexa64 "$OUT/aarch64.bin" --expect "$DIGESTS" |
       sed 's/^/    /'; then
    pass "aarch64 gives the recorded results"
  else
    fail "aarch64 does not give the recorded results"
  fi
  if [ ! -f "$OUT/release.bin" ] || [ ! -f "$OUT/aarch64.bin" ]; then
    fail "aarch64 or release wrote no results"
  elif "$ROOT/build/tests/conformance/conformance" compare "$OUT/release.bin" \
         "$OUT/aarch64.bin" | sed 's/^/    /'; then
    pass "aarch64 results are byte-identical to release"
  else
    fail "aarch64 results differ from release"
  fi
  # The kernels' tests, each path against the scalar one; ctest runs them
  # through the tree's emulator (CMAKE_CROSSCOMPILING_EMULATOR).
  if ctest --test-dir "$AARCH64_TREE" -R '^core[.]' -j "$JOBS" --output-on-failure \
       >"$OUT/aarch64-ctest.log" 2>&1; then
    pass "aarch64 kernel tests: $(grep -E 'tests passed' "$OUT/aarch64-ctest.log")"
  else
    cat "$OUT/aarch64-ctest.log"
    fail "aarch64 kernel tests fail under qemu"
  fi
  echo "    (aarch64 built, run and compared in $((SECONDS - started)) s)"
}
# ---- end of aarch64 ----------------------------------------------------------

# Linux builds: the project's Release flags, then other flags and another
# compiler; each entry is "name|build tree".
LINUX_BUILDS=("release|$ROOT/build" "gcc-O0|$OUT/gcc-O0" "gcc-O3-native|$OUT/gcc-O3-native"
              "clang-O2|$OUT/clang-O2")
WINDOWS_BUILDS=(
  "win64|$ROOT/build-win64|$ROOT/cmake/mingw-w64-x86_64.cmake|.mexw64|x86_64-w64-mingw32-objdump"
  "win32|$ROOT/build-win32|$ROOT/cmake/mingw-w64-i686.cmake|.mexw32|i686-w64-mingw32-objdump"
)

echo "== Conformance: the same calls through every build, compared byte for byte"
build "$ROOT/build" -DCMAKE_BUILD_TYPE=Release
build "$OUT/gcc-O0" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER=g++ "-DCMAKE_CXX_FLAGS=-O0"
build "$OUT/gcc-O3-native" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER=g++ \
  "-DCMAKE_CXX_FLAGS=-O3 -march=native"
build "$OUT/clang-O2" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER=clang++ "-DCMAKE_CXX_FLAGS=-O2"
for entry in "${WINDOWS_BUILDS[@]}"; do
  IFS='|' read -r name dir toolchain suffix objdump <<<"$entry"
  build "$dir" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_TOOLCHAIN_FILE=$toolchain"
done

echo "-- running"
for entry in "${LINUX_BUILDS[@]}"; do
  IFS='|' read -r name dir <<<"$entry"
  echo "$name:"
  if "$dir/tests/conformance/conformance" run "$dir/modules" .mexa64 "$OUT/$name.bin" \
       --expect "$DIGESTS" | sed 's/^/    /'; then
    pass "$name gives the recorded results"
  else
    fail "$name does not give the recorded results"
  fi
done

# Wine, headless, in a prefix of its own; one run of each Windows program.
export WINEDEBUG=-all WINEPREFIX=$OUT/wineprefix WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
windows_path() { echo "Z:$1"; }
for entry in "${WINDOWS_BUILDS[@]}"; do
  IFS='|' read -r name dir toolchain suffix objdump <<<"$entry"
  echo "$name (Wine):"
  if wine "$dir/host/conformance.exe" run "$(windows_path "$dir/modules")" "$suffix" \
       "$(windows_path "$OUT/$name.bin")" --expect "$(windows_path "$DIGESTS")" 2>&1 |
       tr -d '\r' | sed 's/^/    /'; then
    pass "$name gives the recorded results"
  else
    fail "$name does not give the recorded results"
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

echo "-- comparing with the native Release results"
compare=$ROOT/build/tests/conformance/conformance
for name in gcc-O0 gcc-O3-native clang-O2 win64 win32; do
  if [ ! -f "$OUT/$name.bin" ]; then
    fail "$name wrote no results"
  elif "$compare" compare "$OUT/release.bin" "$OUT/$name.bin" | sed 's/^/    /'; then
    pass "$name results are byte-identical to release"
  else
    fail "$name results differ from release"
  fi
done

check_aarch64

echo "conformance: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
