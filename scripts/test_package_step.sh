#!/usr/bin/env bash
# Tests the test command's package step (scripts/test.sh with
# VDQRN_TEST_PACKAGES_ONLY=1) against a stand-in apt-get, dpkg and
# dpkg-query on PATH, which install nothing on this machine:
#
#   1. `apt-get update` fails for one list (as while a mirror is re-synced)
#      and one group (wine32:i386) cannot be installed: the step tries the
#      update three times, names the list, installs every other group, says
#      which steps are NOT RUN and why, and exits 0.
#   2. the compilers cannot be installed: the step exits non-zero with
#      apt's own reason.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin="$work/bin"
mkdir -p "$bin"
cat >"$bin/apt-get" <<'STANDIN'
#!/usr/bin/env bash
# Stand-in apt-get: fails the i386 list of the security suite; refuses to
# install the packages named in $STANDIN_REFUSE; records the rest.
echo "apt-get $*" >>"$STANDIN_STATE/calls"
case "$*" in
  *update*)
    echo "Err:6 http://deb.debian.org/debian-security bookworm-security/main i386 Packages"
    echo "  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100
    ;;
  *install*)
    for package in "$@"; do
      for refused in $STANDIN_REFUSE; do
        if [ "$package" = "$refused" ]; then
          case "$package" in
            *:i386)
              echo "The following packages have unmet dependencies:"
              echo " libxml2:i386 : Depends: zlib1g:i386 (>= 1:1.2.3.3) but it is not going to be installed"
              echo "E: Unable to correct problems, you have held broken packages." >&2
              ;;
            *) echo "E: Package '$package' has no installation candidate" >&2 ;;
          esac
          exit 100
        fi
      done
    done
    for package in "$@"; do
      case "$package" in -*) ;; *) echo "$package" >>"$STANDIN_STATE/installed" ;; esac
    done
    ;;
esac
exit 0
STANDIN
cat >"$bin/dpkg-query" <<'STANDIN'
#!/usr/bin/env bash
# Stand-in dpkg-query -W -f='${Status}' PACKAGE: installed when recorded.
package=${!#}
grep -qxF "$package" "$STANDIN_STATE/installed" 2>/dev/null || exit 1
printf 'install ok installed'
STANDIN
cat >"$bin/dpkg" <<'STANDIN'
#!/usr/bin/env bash
# Stand-in dpkg: foreign architectures, recorded.
case "$1" in
  --print-foreign-architectures) cat "$STANDIN_STATE/arches" 2>/dev/null || true ;;
  --add-architecture) echo "$2" >>"$STANDIN_STATE/arches" ;;
  *) exit 1 ;;
esac
STANDIN
printf '#!/bin/sh\n[ "$1" = -u ] && { echo 0; exit 0; }\nexec /usr/bin/id "$@"\n' >"$bin/id"
chmod +x "$bin"/*

failures=()
# run_step CASE REFUSED-PACKAGES: the package step; its output in
# $work/CASE.txt, its exit status in $code.
run_step() {
  mkdir -p "$work/$1"
  code=0
  STANDIN_STATE="$work/$1" STANDIN_REFUSE=$2 PATH="$bin:$PATH" VDQRN_TEST_PACKAGES_ONLY=1 \
    VDQRN_APT_RETRY_PAUSE=0 scripts/test.sh >"$work/$1.txt" 2>&1 || code=$?
}
says() { grep -qF -- "$2" "$work/$1.txt"; }

step "package step: one list fails, wine32:i386 cannot be installed"
run_step list-and-wine32 "wine32:i386"
check "exits 0 (exit status $code)" test "$code" -eq 0
check "apt-get update is tried three times before it goes on" \
  test "$(grep -c 'update' "$work/list-and-wine32/calls")" -ge 3
check "names the list that could not be fetched" \
  says list-and-wine32 "security/dists/bookworm-security/main/binary-i386/Packages.xz"
check "says what it could not install, with apt's reason" \
  says list-and-wine32 "wine32:i386 could not be installed: libxml2:i386 : Depends: zlib1g:i386"
check "names the steps left out as NOT RUN" \
  says list-and-wine32 "the windows-x86 suite, the Windows host tests, the x86 MSI, the 32-bit qrnctl run: wine32:i386"
check "installs the other groups" grep -qxF valgrind "$work/list-and-wine32/installed"
check "installs the compilers" grep -qxF g++-mingw-w64-x86-64 "$work/list-and-wine32/installed"
check "adds the i386 architecture for wine32" grep -qxF i386 "$work/list-and-wine32/arches"

step "package step: the compilers cannot be installed"
run_step no-compilers "g++"
check "exits non-zero (exit status $code)" test "$code" -ne 0
check "says apt's reason" says no-compilers "E: Package 'g++' has no installation candidate"
check "says the test command cannot run" says no-compilers "THE TEST COMMAND CANNOT RUN"

if [ ${#failures[@]} -gt 0 ]; then
  for output in "$work"/*.txt; do
    echo "--- ${output##*/}"
    cat "$output"
  done
  exit 1
fi
