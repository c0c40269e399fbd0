# A minimal Debian 11 system folder for installing the .deb package into,
# made once with debootstrap and kept in the build folder (sourced by
# scripts/test_linux_packages.sh).
#
#   installer_debian_root BUILD_ROOT
#
# prints the folder (BUILD_ROOT/debian11-installers/root); fails, printing
# why, where it cannot be made (debootstrap needs root and Debian's archive).
installer_debian_root() {
  local cache="$1/debian11-installers"
  local root="$cache/root"
  if [ -f "$cache/complete" ] && [ -x "$root/usr/bin/dpkg" ]; then
    echo "$root"
    return 0
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "making a Debian system folder with debootstrap needs root"
    return 1
  fi
  install_packages debootstrap >&2 || {
    echo "debootstrap cannot be installed"
    return 1
  }
  rm -rf "$cache"
  mkdir -p "$cache"
  if ! debootstrap --variant=minbase bullseye "$root" >"$cache/debootstrap.log" 2>&1; then
    echo "debootstrap failed: $(tail -1 "$cache/debootstrap.log")"
    return 1
  fi
  touch "$cache/complete"
  echo "$root"
}
