# A Debian 11 system folder for installing the .deb package into: a fresh
# copy of the one scripts/sysroot.sh makes and keeps (BUILD_ROOT/debian11/
# system), so that the test leaves that one as it was (sourced by
# scripts/test_linux_packages.sh).
#
#   installer_debian_root BUILD_ROOT
#
# prints the copy (BUILD_ROOT/debian11-installers/root); fails, printing
# why, where the system folder cannot be made (debootstrap needs root and
# Debian's archive).
installer_debian_root() {
  local copy="$1/debian11-installers/root" system said
  said=$(mktemp)
  if ! system=$(scripts/sysroot.sh system "$1" 2>"$said"); then
    tail -1 "$said"
    rm -f "$said"
    return 1
  fi
  rm -f "$said"
  rm -rf "${copy%/root}"
  mkdir -p "${copy%/root}"
  cp -a "$system" "$copy"
  echo "$copy"
}
