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

# Whether this kernel runs 32-bit x86 programs: a real attempt with Wine's
# 32-bit loader (an i386 program). Prints the reason when it cannot.
runs_32bit_programs() {
  local loader=/usr/lib/wine/wine output
  if output=$("$loader" --version 2>&1); then return 0; fi
  echo "this kernel cannot run 32-bit x86 programs: $(head -n 1 <<<"${output##*: }")"
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
