#!/usr/bin/env bash
# Builds the Linux system packages from the Linux tarballs that
# scripts/package.sh made:
#
#   scripts/linux_packages.sh [BUILD_ROOT]    (default BUILD_ROOT: build)
#
# makes BUILD_ROOT/packages/vdqrn_VERSION_amd64.deb and _i386.deb, and
# vdqrn-VERSION-1.x86_64.rpm and .i686.rpm. Each puts the tarball's files into
# /opt/vdqrn and, once installed, runs /opt/vdqrn/install.sh for the system
# client (/opt/Citrix/ICAClient); removing the package runs it with
# --uninstall first. An upgrade of the package runs the install again.
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

for arch in x64 x86; do
  tarball="$out/vdqrn-linux-$arch.tar.gz"
  [ -f "$tarball" ] || fail "$tarball is missing (run scripts/package.sh)"
  deb_arch=amd64 rpm_arch=x86_64
  [ "$arch" = x86 ] && deb_arch=i386 rpm_arch=i686

  # The .deb
  tree="$work/deb-$arch"
  mkdir -p "$tree/opt/vdqrn" "$tree/DEBIAN"
  tar xzf "$tarball" -C "$tree/opt/vdqrn"
  cat >"$tree/DEBIAN/control" <<CONTROL
Package: vdqrn
Version: $version
Architecture: $deb_arch
Maintainer: vdqrn <vdqrn@localhost>
Section: misc
Priority: optional
Description: instrument channel driver for the ICA client
 Installs VDQRN.DLL into the system ICA client (/opt/Citrix/ICAClient) and
 registers it in the client's module.ini. The files stay in /opt/vdqrn; run
 /opt/vdqrn/install.sh again after a client upgrade.
CONTROL
  cat >"$tree/DEBIAN/postinst" <<'SCRIPT'
#!/bin/sh
set -e
case "$1" in
  configure) /opt/vdqrn/install.sh --icaroot /opt/Citrix/ICAClient ;;
esac
SCRIPT
  cat >"$tree/DEBIAN/prerm" <<'SCRIPT'
#!/bin/sh
set -e
case "$1" in
  remove | deconfigure)
    /opt/vdqrn/install.sh --icaroot /opt/Citrix/ICAClient --uninstall ||
      echo "vdqrn: the client's registration could not be removed (see above)" >&2
    ;;
esac
SCRIPT
  chmod 755 "$tree/DEBIAN/postinst" "$tree/DEBIAN/prerm"
  deb="$out/vdqrn_${version}_$deb_arch.deb"
  dpkg-deb --root-owner-group --build "$tree" "$deb" >/dev/null
  echo "$deb"

  # The .rpm
  top="$work/rpm-$arch"
  # rpmbuild's recipe for the package: the tarball unpacked into
  # /opt/vdqrn, install.sh run after install and before removal.
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
%description
Installs VDQRN.DLL into the system ICA client (/opt/Citrix/ICAClient) and
registers it in the client's module.ini. The files stay in /opt/vdqrn; run
/opt/vdqrn/install.sh again after a client upgrade.
%install
mkdir -p %{buildroot}/opt/vdqrn
tar xzf %{SOURCE0} -C %{buildroot}/opt/vdqrn
%files
/opt/vdqrn
%post
/opt/vdqrn/install.sh --icaroot /opt/Citrix/ICAClient
%preun
if [ "\$1" -eq 0 ]; then
  /opt/vdqrn/install.sh --icaroot /opt/Citrix/ICAClient --uninstall ||
    echo "vdqrn: the client's registration could not be removed (see above)" >&2
fi
RECIPE
  rpmbuild --quiet --define "_topdir $top" --target "$rpm_arch" -bb "$top/vdqrn.rpm-recipe" \
    >"$top/rpmbuild.log" 2>&1 || fail "rpmbuild failed for $arch: $(tail -3 "$top/rpmbuild.log")"
  rpm_file=$(find "$top/RPMS" -name '*.rpm' | head -1)
  cp "$rpm_file" "$out/"
  echo "$out/${rpm_file##*/}"
done
