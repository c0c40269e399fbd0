# Shared by the project's scripts.

step() { printf '\n=== %s ===\n' "$*"; }

# Installs the Debian packages among the arguments that are missing: one
# `apt-get update`, then one `apt-get install`. Needs root when anything is
# missing. A package of another architecture (wine32:i386) first adds that
# architecture to dpkg.
install_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  step "installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  for package in "${missing[@]}"; do
    case "$package" in
      *:*)
        local arch=${package#*:}
        dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
        ;;
    esac
  done
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
}

# The files of a package, one a line: the path inside the package, then where
# it comes from ("PRESET:FILE" built, or a path in the source tree).
#   package_contents windows|linux x86|x64
# A 64-bit package also carries the 32-bit instrument host and a 32-bit
# simulated instrument, so that a 64-bit client can run a 32-bit library.
package_contents() {
  local platform=$1 arch=$2
  if [ "$platform" = windows ]; then
    local preset=windows-$arch
    printf '%s\t%s\n' VDQRN.DLL "$preset:VDQRN.DLL" simspectro.dll "$preset:simspectro.dll" \
      engine_sim.exe "$preset:engine_sim.exe"
    [ "$arch" = x64 ] && printf '%s\t%s\n' QRNHOST32.EXE windows-x86:QRNHOST32.EXE \
      simspectro32.dll windows-x86:simspectro.dll
  else
    local preset=linux
    [ "$arch" = x86 ] && preset=linux-x86
    printf '%s\t%s\n' VDQRN.DLL "$preset:vdqrn.so" simspectro.so "$preset:simspectro.so" \
      engine_sim "$preset:engine_sim"
    [ "$arch" = x64 ] && printf '%s\t%s\n' qrnhost32 linux-x86:qrnhost32 \
      simspectro32.so linux-x86:simspectro.so
  fi
  printf '%s\t%s\n' examples/session.txt examples/session.txt docs/protocol.md \
    docs/protocol.md docs/deployment.md docs/deployment.md
}

# Whether this machine runs 32-bit x86 programs: builds a static i686 program
# that exits with 42 and runs it. Prints why not, when it cannot.
runs_32_bit_code() {
  local probe
  probe=$(mktemp -d)
  printf 'int main(void) { return 42; }\n' >"$probe/probe.c"
  local status=0
  if ! i686-linux-gnu-gcc -static -o "$probe/probe" "$probe/probe.c" 2>"$probe/err"; then
    echo "cannot build the 32-bit probe: $(head -1 "$probe/err")"
    status=1
  else
    "$probe/probe" 2>/dev/null || status=$?
    if [ "$status" -eq 42 ]; then
      status=0
    else
      echo "a static 32-bit x86 program does not run here (exit status $status)"
      status=1
    fi
  fi
  rm -rf "$probe"
  return $status
}

# Prints a banner that no one scrolling past can miss.
loud() {
  printf '\n%s\n' "################################################################################"
  printf '### %s\n' "$@"
  printf '%s\n\n' "################################################################################"
}
