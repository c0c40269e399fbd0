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

# The files of a Windows package (scripts/package.sh), as paths inside the zip.
package_contents() {
  printf '%s\n' VDQRN.DLL simspectro.dll engine_sim.exe examples/session.txt \
    docs/protocol.md docs/deployment.md
}

# The files of a Linux package, as paths inside the tarball: the module under
# the name a Linux client loads it by.
linux_package_contents() {
  printf '%s\n' VDQRN.DLL simspectro.so engine_sim examples/session.txt \
    docs/protocol.md docs/deployment.md
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
