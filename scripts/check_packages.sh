#!/usr/bin/env bash
# Checks the Windows packages that scripts/package.sh made: lists each zip
# and fails unless it holds every file a package must hold.
#
#   scripts/check_packages.sh [BUILD_ROOT]  (default BUILD_ROOT: build)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

root=${1:-build}
status=0
for arch in x86 x64; do
  zip="$root/packages/vdqrn-windows-$arch.zip"
  if [ ! -f "$zip" ]; then
    echo "check_packages: $zip is missing (run scripts/package.sh)" >&2
    status=1
    continue
  fi
  echo "$zip:"
  listing=$(cmake -E tar tf "$zip")
  sed 's/^/  /' <<<"$listing"
  while read -r file; do
    if ! grep -qxF "$file" <<<"$listing"; then
      echo "check_packages: $zip lacks $file" >&2
      status=1
    fi
  done < <(package_contents)
done
exit $status
