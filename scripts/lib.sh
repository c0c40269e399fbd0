# Shared by the project's scripts.

step() { printf '\n=== %s ===\n' "$*"; }

# Installs the Debian packages among the arguments that are missing: one
# `apt-get update`, then one `apt-get install`. Needs root when anything is
# missing.
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
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
}

# The files of a Windows package (scripts/package.sh), as paths inside the zip.
package_contents() {
  printf '%s\n' VDQRN.DLL simspectro.dll engine_sim.exe examples/session.txt \
    docs/protocol.md docs/deployment.md
}
