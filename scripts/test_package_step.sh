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
#
# and the packing (scripts/package.sh) against a build root whose files
# stand in for two built presets: --only packs the package asked for alone,
# its install.sh saying the version; what asks for presets not built names
# every one of them and packs nothing; --help prints the header comment whole
# (install.sh's too, whose source tree copy says its version is unknown).
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

# The packing: scripts/package.sh against a build root whose files stand in
# for the builds (only the x64 and x86 Linux presets "built").
fake="$work/fake-build"
for file in linux-x64/bin/vdqrn.so linux-x64/bin/simspectro.so linux-x64/bin/engine_sim \
  linux-x64/bin/qrnhost64 linux-x86/bin/qrnhost32 linux-x86/bin/simspectro.so; do
  mkdir -p "$fake/${file%/*}"
  echo "$file" >"$fake/$file"
done
# pack CASE ARGUMENT...: scripts/package.sh's output in $work/CASE.txt, its
# exit status in $code.
pack() {
  local name=$1
  shift
  code=0
  scripts/package.sh "$@" >"$work/$name.txt" 2>&1 || code=$?
}
fails() { ! "$@" >/dev/null 2>&1; }
packed() { ls "$fake/packages" 2>/dev/null | tr '\n' ' '; }
# The last line of a script's header comment.
last_header_line() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { line = $0 } END { print line }' "$1" |
  sed 's/^# \{0,1\}//'; }

step "package.sh: packing what is asked"
pack only-x64 "$fake" --only linux-x64
check "--only linux-x64 packs (exit status $code)" test "$code" -eq 0
check "that tarball alone" test "$(packed)" = "vdqrn-linux-x64.tar.gz "
tar xzf "$fake/packages/vdqrn-linux-x64.tar.gz" -C "$work"
check "its install.sh says the version" \
  test "$(sh "$work/vdqrn-linux-x64/install.sh" --version)" = "vdqrn $(product_version)"
check "and package.sh names it" says only-x64 "packages/vdqrn-linux-x64.tar.gz"
rm -rf "$fake/packages"
pack linux "$fake" --linux
check "--linux with the ARM presets not built fails (exit status $code)" test "$code" -ne 0
check "naming each preset missing for it" \
  says linux "linux-armhf, for vdqrn-linux-arm64 vdqrn-linux-armhf"
check "the other one too" says linux "linux-arm64, for vdqrn-linux-arm64"
check "packing nothing" test -z "$(packed)"
pack all "$fake"
check "everything asked, nothing built: fails (exit status $code)" test "$code" -ne 0
check "naming a Windows preset" says all "  windows-x86, for vdqrn-host-kit-windows-x86 "
check "and the Linux ones past it" says all "  linux-armhf, for vdqrn-linux-arm64 vdqrn-linux-armhf"
pack help --help
check "package.sh --help prints its header comment, whole" \
  test "$(tail -1 "$work/help.txt")" = "$(last_header_line scripts/package.sh)"
check "and nothing after it" fails grep -q 'set -e' "$work/help.txt"
check "install.sh --help prints its header comment, whole" \
  test "$(installer/linux/install.sh --help | tail -1)" = \
  "$(last_header_line installer/linux/install.sh)"
check "and nothing after it" fails sh -c 'installer/linux/install.sh --help | grep -q "set -e"'
check "install.sh from the source tree: its version is unknown" \
  test "$(installer/linux/install.sh --version)" = \
  "vdqrn (version unknown: this install.sh is the source tree's, not a package's)"

if [ ${#failures[@]} -gt 0 ]; then
  for output in "$work"/*.txt; do
    echo "--- ${output##*/}"
    cat "$output"
  done
  exit 1
fi
