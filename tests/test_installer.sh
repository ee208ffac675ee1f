#!/usr/bin/env bash
# The installer of ./run against a package index that fails in chosen ways: a
# stand-in apt-get (and dpkg, dpkg-query, sudo) on PATH, whose behaviour each
# case sets through files in a scratch folder. No real package is touched.
set -uo pipefail
RUN=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/run
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
STANDIN=$SCRATCH/bin
STATE=$SCRATCH/state
mkdir -p "$STANDIN"

# apt-get: "update" fails while $STATE/update-failures counts down, and fails
# (lists partly fetched) for good where $STATE/update-partial exists; "install"
# refuses any package that has a file in $STATE/refuse (the file holds apt's
# lines), else marks every package installed. Each call is logged.
cat >"$STANDIN/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STATE/log"
case " $* " in
  *" update "*)
    left=$(cat "$STATE/update-failures" 2>/dev/null || echo 0)
    if [ "$left" -gt 0 ]; then
      echo $((left - 1)) >"$STATE/update-failures"
      echo "E: Failed to fetch http://deb.example/dists/InRelease  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi
    if [ -e "$STATE/update-partial" ]; then
      echo "E: Failed to fetch http://security.example/Packages.xz  Hash Sum mismatch"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi
    exit 0 ;;
esac
packages=()
for word in "$@"; do
  case $word in -*|install) ;; *) packages+=("$word") ;; esac
done
for package in "${packages[@]}"; do
  if [ -e "$STATE/refuse/$package" ]; then
    echo "Some packages could not be installed."
    echo "The following packages have unmet dependencies:"
    cat "$STATE/refuse/$package"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100
  fi
done
for package in "${packages[@]}"; do touch "$STATE/installed/$package"; done
EOF
cat >"$STANDIN/dpkg-query" <<'EOF'
#!/usr/bin/env bash
package=${*: -1}
[ -e "$STATE/installed/$package" ] || exit 1
printf 'install ok installed'
EOF
cat >"$STANDIN/dpkg" <<'EOF'
#!/usr/bin/env bash
echo "dpkg $*" >>"$STATE/log"
case $1 in
  --print-foreign-architectures) cat "$STATE/architectures" ;;
  --add-architecture) echo "$2" >>"$STATE/architectures" ;;
  --remove-architecture) grep -vx "$2" "$STATE/architectures" >"$STATE/a"; mv "$STATE/a" "$STATE/architectures" ;;
esac
EOF
# apt-cache: "show" knows the packages that have a file in $STATE/index.
cat >"$STANDIN/apt-cache" <<'EOF'
#!/usr/bin/env bash
[ -e "$STATE/index/${*: -1}" ]
EOF
printf '#!/usr/bin/env bash\nexec "$@"\n' >"$STANDIN/sudo"
printf '#!/usr/bin/env bash\n' >"$STANDIN/sleep"
chmod +x "$STANDIN"/*

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...: passes where the command succeeds
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); echo "ok: $what"
  else failed=$((failed + 1)); echo "FAILED: $what"; echo "--- output:"; cat "$SCRATCH/out"; fi
}
has() { grep -q -- "$1" "$2"; }
lacks() { ! grep -q -- "$1" "$2"; }
count() { [ "$(grep -c -- "$1" "$2")" -eq "$3" ]; }

# Runs CODE in a bash of its own that has sourced ./run, as ./run runs its
# commands, with a fresh state made by SETUP: run_installer SETUP CODE.
run_installer() {
  local setup=$1 code=$2
  rm -rf "$STATE"
  mkdir -p "$STATE/installed" "$STATE/refuse" "$STATE/index"
  : >"$STATE/log"
  : >"$STATE/architectures"
  (cd "$STATE" && eval "$setup")
  STATE=$STATE PATH=$STANDIN:$PATH APT_PAUSE=0 NOT_CHECKED_LOG= bash -c 'source "$1"; eval "$2"' installer \
    "$RUN" "$code" >"$SCRATCH/out" 2>&1
}

# A list fetch that fails once is tried again, and the install then goes ahead.
run_installer 'echo 1 >update-failures' 'install_missing pkg-a pkg-b'
status=$?
check "an update that fails once, then passes: the packages are installed" \
  test "$status" -eq 0 -a -e "$STATE/installed/pkg-a" -a -e "$STATE/installed/pkg-b"
check "an update that fails once is tried twice, then the install runs once" \
  count "apt-get update" "$STATE/log" 2
check "the failed update is reported with apt's words" has "Mirror sync in progress" "$SCRATCH/out"

# Lists that never fetch whole do not stop the run: the install decides.
run_installer 'touch update-partial' 'install_missing pkg-a'
status=$?
check "an install after a partial update goes ahead" test "$status" -eq 0 -a -e "$STATE/installed/pkg-a"
check "a partial update is retried, then left as it is" has "Going on with the package lists" "$SCRATCH/out"

# Installed packages are not asked for again, and no list is fetched for them.
run_installer 'touch installed/pkg-a' 'install_missing pkg-a'
check "nothing missing: apt-get is not called" test ! -s "$STATE/log"

# A needed package that cannot be installed fails the run, named, with apt's
# reason; the others are installed all the same.
run_installer 'echo " pkg-bad : Depends: libgone (>= 2) but it is not installable" >refuse/pkg-bad' \
  'install_missing pkg-a pkg-bad'
status=$?
check "a needed package refused fails the run" test "$status" -ne 0
check "the failure names the package and apt's reason" \
  has "cannot install pkg-bad: .*libgone (>= 2) but it is not installable" "$SCRATCH/out"
check "the packages that can be installed are" test -e "$STATE/installed/pkg-a"

# A package Debian's releases name differently: the name this index knows is
# installed, whichever of the alternatives it is; one installed is enough.
run_installer 'touch index/pkg-old' 'install_missing pkg-a "pkg-new|pkg-old"'
check "alternatives: the older name, the one the index knows, is installed" \
  test -e "$STATE/installed/pkg-old" -a ! -e "$STATE/installed/pkg-new"
run_installer 'touch index/pkg-new index/pkg-old' 'install_missing "pkg-new|pkg-old"'
check "alternatives: where the index knows both, the first is installed" \
  test -e "$STATE/installed/pkg-new" -a ! -e "$STATE/installed/pkg-old"
run_installer 'touch installed/pkg-old' 'install_missing "pkg-new|pkg-old"'
check "alternatives: one of them installed, apt-get is not called" test ! -s "$STATE/log"

# A foreign-architecture package refused is a check not made, with apt's reason:
# the architecture is added for it and taken away again.
run_installer 'echo " wine32:i386 : Depends: libwine:i386 but it is not going to be installed" >refuse/wine32' \
  'runs_32bit_programs() { return 0; }; why=$(win32_runner) && exit 1
   not_checked "conformance of the win32 build under Wine" "$why"'
check "a foreign-architecture package refused is reported as not checked, with apt's reason" \
  has "not checked on this machine: conformance of the win32 build under Wine (wine32 could not be installed: .*libwine:i386 but it is not going to be installed" "$SCRATCH/out"
check "the architecture added for it is taken away again" \
  has "dpkg --remove-architecture i386" "$STATE/log"

# Where this kernel cannot start 32-bit programs, nothing of i386 is asked for.
run_installer '' 'runs_32bit_programs() { echo "this kernel cannot run 32-bit x86 programs: Exec format error"; return 1; }
  why=$(win32_runner) && exit 1; echo "$why"'
check "a kernel without 32-bit programs: no architecture added, nothing installed" \
  test ! -s "$STATE/log"
check "a kernel without 32-bit programs: its own answer is the reason" has "Exec format error" "$SCRATCH/out"

# Where it can, i386 is added and wine32 installed.
run_installer '' 'runs_32bit_programs() { return 0; }; win32_runner'
check "a kernel with 32-bit programs: i386 added and wine32 installed" \
  test -e "$STATE/installed/wine32" -a "$(cat "$STATE/architectures")" = i386

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
