# Debian 11 folders to install the Linux packages into, one per
# architecture (sourced by scripts/test_linux_packages.sh):
#
#   installer_debian_root BUILD_ROOT amd64|arm64
#
# prints BUILD_ROOT/installer-roots/ARCH: a fresh copy of the Debian 11 C
# library folder scripts/sysroot.sh made (BUILD_ROOT/debian11/x86 or arm),
# with Debian 11's shell, core tools, awk, tar, dpkg and the libraries they
# need unpacked into it, and an empty dpkg database: enough for dpkg (or rpm
# --root) to install a package and run its scripts in it (chroot; the arm64
# one under qemu-aarch64 registered with binfmt_misc, which then starts it
# inside the folder: its own libraries are copied in). The packages come once
# from the Debian archive, with an apt state of its own (the package lists
# copied from BUILD_ROOT/debian11/apt where that has them). Fails, printing
# why, where it cannot be made.
installer_debian_packages=(dash coreutils mawk sed grep diffutils findutils tar dpkg libc-bin
  libacl1 libattr1 libselinux1 libpcre2-8-0 libpcre3 libgmp10 libbz2-1.0 liblzma5 libzstd1
  zlib1g libmd0)

installer_debian_root() {
  local root arch=$2 libraries
  root=$(cd "$1" && pwd)
  case "$arch" in
    amd64) libraries="$root/debian11/x86" ;;
    arm64) libraries="$root/debian11/arm" ;;
    *) echo "no Debian root for $arch"; return 1 ;;
  esac
  [ -f "$libraries/.vdqrn-stamp" ] || {
    echo "no Debian 11 C library in $libraries (scripts/sysroot.sh)"
    return 1
  }
  local top="$root/installer-roots"
  local apt="$top/apt" debs="$top/debs-$arch" folder="$top/$arch"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$debs"
  if [ ! -f "$debs/.complete" ]; then
    [ -f "$apt/status" ] || : >"$apt/status"
    printf 'deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian/ bullseye main\n' \
      >"$apt/sources.list"
    local options=(-q -o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
      -o "Dir::State::Lists=$apt/lists" -o "Dir::State::Status=$apt/status"
      -o "Dir::Cache=$apt/cache" -o Debug::NoLocking=1 -o Acquire::Languages=none
      -o APT::Architecture=amd64 -o APT::Architectures::=amd64 -o APT::Architectures::=arm64
      -o APT::Sandbox::User=root)
    if ! compgen -G "$apt/lists/*_Packages*" >/dev/null; then
      cp "$root"/debian11/apt/lists/*bullseye* "$apt/lists/" 2>/dev/null || true
    fi
    if ! compgen -G "$apt/lists/*binary-${arch}_Packages*" >/dev/null &&
      ! apt-get "${options[@]}" update >"$top/apt.log" 2>&1; then
      echo "cannot read Debian 11's package lists: $(grep -E '^(E|W):' "$top/apt.log" | head -1)"
      return 1
    fi
    local names=("${installer_debian_packages[@]/%/:$arch}")
    if ! (cd "$debs" && apt-get "${options[@]}" download "${names[@]}") >>"$top/apt.log" 2>&1; then
      echo "cannot download Debian 11's tools for $arch: $(grep -E '^(E|W):' "$top/apt.log" | head -1)"
      return 1
    fi
    touch "$debs/.complete"
  fi
  rm -rf "$folder"
  cp -a "$libraries" "$folder"
  local deb
  for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$folder"; done
    mkdir -p "$folder/var/lib/dpkg/info" "$folder/var/lib/dpkg/updates" "$folder/tmp" \
    "$folder/etc/dpkg/dpkg.cfg.d" "$folder/opt"
  : >"$folder/var/lib/dpkg/status"
  : >"$folder/var/lib/dpkg/available"
  echo "$arch" >"$folder/var/lib/dpkg/arch"
  ln -sfn dash "$folder/bin/sh"
  ln -sfn mawk "$folder/usr/bin/awk"
  mkdir -p "$folder/dev"
  mknod -m 666 "$folder/dev/null" c 1 3 || {
    echo "cannot make $folder/dev/null"
    return 1
  }
  chmod 1777 "$folder/tmp"
  # This machine's emulator for another machine's programs, with the
  # libraries it needs at their paths: binfmt_misc starts it inside the
  # folder.
  if [ "$arch" != amd64 ]; then
    local emulator library
    emulator=$(command -v qemu-aarch64) || { echo "qemu-aarch64 is not installed"; return 1; }
    for library in $(ldd "$emulator" | grep -oE '/[^ ]+'); do
      mkdir -p "$folder$(dirname "$library")"
      cp -L "$library" "$folder$library"
    done
  fi
  echo "$folder"
}
