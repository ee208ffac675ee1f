# Sourced by ./run and the check scripts: how a check that depends on the
# machine finds out whether it can run here, and says so when it cannot.
# A check that cannot run on this machine is reported, never failed and never
# skipped in silence; a missing tool is still a failure, since ./run installs
# every tool it needs.

# Prints "not checked on this machine: WHAT (WHY)" and, when ./run test
# collects them for its summary (NOT_CHECKED_LOG), appends the line there.
not_checked() {
  local line="not checked on this machine: $1 ($2)"
  echo "$line"
  if [ -n "${NOT_CHECKED_LOG:-}" ]; then echo "$line" >>"$NOT_CHECKED_LOG"; fi
  return 0
}

# Whether this kernel starts 32-bit x86 programs, asked of the kernel itself
# and of no package: writes a static 32-bit x86 program of 96 bytes (one ELF
# header, one loadable segment, and the code of exit(42) through int 0x80)
# into build/ and starts it. Prints the kernel's answer when it cannot.
runs_32bit_programs() {
  local dir=${ROOT:-.}/build probe output status=0
  mkdir -p "$dir"
  probe=$dir/probe-i386
  printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
    '\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  output=$("$probe" 2>&1) || status=$?
  rm -f "$probe"
  [ "$status" -eq 42 ] && return 0
  # bash says "...: cannot execute binary file: Exec format error": the
  # kernel's own words are the last part.
  output=$(head -n 1 <<<"$output")
  if [ -n "$output" ]; then
    echo "this kernel cannot run 32-bit x86 programs: ${output##*: }"
  else
    echo "this kernel cannot run 32-bit x86 programs: a 32-bit program that exits with 42 ended with $status"
  fi
  return 1
}

# Whether this processor runs code built for x86-64-v4 (AVX-512 F, BW, CD, DQ
# and VL). Prints the reason when it cannot.
runs_avx512() {
  local flag flags
  flags=$(grep -m1 '^flags' /proc/cpuinfo 2>/dev/null || true)
  for flag in avx512f avx512bw avx512cd avx512dq avx512vl; do
    if ! grep -qw "$flag" <<<"$flags"; then
      echo "the processor has no ${flag^^}"
      return 1
    fi
  done
}
