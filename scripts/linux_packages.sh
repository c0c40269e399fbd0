#!/usr/bin/env bash
# Builds the Linux system packages from the Linux tarballs that
# scripts/package.sh made:
#
#   scripts/linux_packages.sh [BUILD_ROOT]    (default BUILD_ROOT: build)
#
# makes BUILD_ROOT/packages/vdqrn_VERSION_ARCH.deb for amd64, i386, armhf
# and arm64, and vdqrn-VERSION-1.ARCH.rpm for x86_64, i686 and aarch64. Each
# puts the tarball's files into /opt/vdqrn and, once installed, runs
# /opt/vdqrn/install.sh for the system client (/opt/Citrix/ICAClient);
# removing the package runs it with --uninstall first. An upgrade of the
# package runs the install again. Where the system client cannot take the
# driver (no client, a module.ini install.sh refuses, a client of another
# architecture, a folder it cannot write), the package is refused before
# anything is unpacked, with install.sh's message: its pre-install script
# runs the package's install.sh --can-install. After installing, install.sh
# --check reads the installation as the client reads it and its findings
# are shown; a fault (statuses 13-19, 21) fails the install with its fix,
# a log this user cannot write (20) is a warning only. Removing it for good
# (dpkg --purge, rpm -e) says what it leaves of ours in the client's folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

fail() {
  echo "linux_packages: $*" >&2
  exit 1
}

install_packages dpkg rpm
root=$(cd "${1:-build}" && pwd)
out="$root/packages"
version=$(product_version)
work="$root/linux-packages"
rm -rf "$work"
mkdir -p "$work"

client=/opt/Citrix/ICAClient

# The pre-install check: the package's install.sh (its version and
# architecture written in), run with --can-install from a temporary folder
# (nothing of the package is unpacked yet).
#   pre_install_check INSTALL_SH
pre_install_check() {
  cat <<SCRIPT
check=\$(mktemp -d)
trap 'rm -rf "\$check"' EXIT
cat >"\$check/install.sh" <<'VDQRN_INSTALL_SH'
$(cat "$1")
VDQRN_INSTALL_SH
if ! sh "\$check/install.sh" --icaroot $client --can-install; then
  echo "vdqrn: not installed: the ICA client in $client cannot take the driver (see above)" >&2
  exit 1
fi
SCRIPT
}

# After the install: install.sh --check. A fault fails the package's
# configuration (the administrator sees it at once); a log that this user
# (root) cannot write is only said.
post_install_check() {
  cat <<SCRIPT
/opt/vdqrn/install.sh --icaroot $client || exit 1
checked=0
/opt/vdqrn/install.sh --icaroot $client --check || checked=\$?
case \$checked in
  0) ;;
  20)
    echo "vdqrn: warning: installed, but the driver's log cannot be written by" \\
      "\$(id -un 2>/dev/null || id -u) (see above)" >&2
    ;;
  *)
    echo "vdqrn: installed, but the check of the client in $client found a fault (exit status" \\
      "\$checked; see above): the client will not use the driver until it is fixed" >&2
    exit 1
    ;;
esac
SCRIPT
}

# What a removal for good leaves of ours in the client's folder, said.
left_behind() {
  cat <<SCRIPT
left=
for file in $client/VDQRN.DLL $client/qrnhost64 $client/qrnhost32 \\
  $client/config/module.ini.vdqrn-backup; do
  if [ -e "\$file" ]; then left="\$left \$file"; fi
done
if grep -qi '^[[:space:]]*\[qrn\]' $client/config/module.ini 2>/dev/null; then
  left="\$left $client/config/module.ini (still registers QRN)"
fi
if [ -n "\$left" ]; then
  echo "vdqrn: removed; left in the client's folder:\$left" >&2
  if [ -e $client/config/module.ini.vdqrn-backup ]; then
    echo "vdqrn: module.ini.vdqrn-backup is the client's module.ini as it was before vdqrn" >&2
  fi
else
  echo "vdqrn: removed; nothing of it is left in $client"
fi
SCRIPT
}

description="Installs VDQRN.DLL into the system ICA client ($client) and
registers it in the client's module.ini. The files stay in /opt/vdqrn; run
/opt/vdqrn/install.sh again after a client upgrade."

for arch in x64 x86 armhf arm64; do
  tarball="$out/vdqrn-linux-$arch.tar.gz"
  [ -f "$tarball" ] || fail "$tarball is missing (run scripts/package.sh)"
  case "$arch" in
    x64) deb_arch=amd64 rpm_arch=x86_64 ;;
    x86) deb_arch=i386 rpm_arch=i686 ;;
    armhf) deb_arch=armhf rpm_arch= ;;
    arm64) deb_arch=arm64 rpm_arch=aarch64 ;;
  esac

  # The .deb
  tree="$work/deb-$arch"
  mkdir -p "$tree/opt/vdqrn" "$tree/DEBIAN"
  tar xzf "$tarball" -C "$tree/opt/vdqrn" --strip-components=1
  {
    echo "Package: vdqrn"
    echo "Version: $version"
    echo "Architecture: $deb_arch"
    echo "Maintainer: vdqrn <vdqrn@localhost>"
    echo "Section: misc"
    echo "Priority: optional"
    echo "Description: instrument channel driver for the ICA client"
    sed 's/^/ /' <<<"$description"
  } >"$tree/DEBIAN/control"
  {
    printf '#!/bin/sh\nset -e\ncase "$1" in install | upgrade) ;; *) exit 0 ;; esac\n'
    pre_install_check "$tree/opt/vdqrn/install.sh"
  } >"$tree/DEBIAN/preinst"
  {
    printf '#!/bin/sh\nset -e\ncase "$1" in configure) ;; *) exit 0 ;; esac\n'
    post_install_check
  } >"$tree/DEBIAN/postinst"
  cat >"$tree/DEBIAN/prerm" <<SCRIPT
#!/bin/sh
set -e
case "\$1" in
  remove | deconfigure)
    /opt/vdqrn/install.sh --icaroot $client --uninstall ||
      echo "vdqrn: the client's registration could not be removed (see above)" >&2
    ;;
esac
SCRIPT
  {
    printf '#!/bin/sh\nset -e\nif [ "$1" = purge ]; then\n'
    left_behind | sed 's/^/  /'
    printf 'fi\n'
  } >"$tree/DEBIAN/postrm"
  chmod 755 "$tree/DEBIAN/preinst" "$tree/DEBIAN/postinst" "$tree/DEBIAN/prerm" \
    "$tree/DEBIAN/postrm"
  deb="$out/vdqrn_${version}_$deb_arch.deb"
  dpkg-deb --root-owner-group --build "$tree" "$deb" >/dev/null
  echo "$deb"

  # The .rpm (none for 32-bit ARM: no rpm-based client system runs there).
  [ -n "$rpm_arch" ] || continue
  top="$work/rpm-$arch"
  # rpmbuild's recipe for the package: the tarball unpacked into
  # /opt/vdqrn, the check before anything is unpacked, install.sh run after
  # install and before removal. Scriptlets have their % doubled (rpm's
  # macros).
  mkdir -p "$top/SOURCES"
  cp "$tarball" "$top/SOURCES/"
  cat >"$top/vdqrn.rpm-recipe" <<RECIPE
Name: vdqrn
Version: $version
Release: 1
Summary: instrument channel driver for the ICA client
License: Proprietary
Source0: vdqrn-linux-$arch.tar.gz
AutoReqProv: no
%define debug_package %{nil}
%define __strip /bin/true
%define __os_install_post %{nil}
%description
$description
%install
mkdir -p %{buildroot}/opt/vdqrn
tar xzf %{SOURCE0} -C %{buildroot}/opt/vdqrn --strip-components=1
%files
/opt/vdqrn
%pre
$(pre_install_check "$tree/opt/vdqrn/install.sh" | sed 's/%/%%/g')
%post
$(post_install_check | sed 's/%/%%/g')
%preun
if [ "\$1" -eq 0 ]; then
  /opt/vdqrn/install.sh --icaroot $client --uninstall ||
    echo "vdqrn: the client's registration could not be removed (see above)" >&2
fi
%postun
if [ "\$1" -eq 0 ]; then
$(left_behind | sed 's/%/%%/g; s/^/  /')
fi
RECIPE
  rpmbuild --quiet --define "_topdir $top" --target "$rpm_arch" -bb "$top/vdqrn.rpm-recipe" \
    >"$top/rpmbuild.log" 2>&1 || fail "rpmbuild failed for $arch: $(tail -3 "$top/rpmbuild.log")"
  rpm_file=$(find "$top/RPMS" -name '*.rpm' | head -1)
  cp "$rpm_file" "$out/"
  echo "$out/${rpm_file##*/}"
done
