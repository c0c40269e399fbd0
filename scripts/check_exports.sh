#!/usr/bin/env bash
# Checks that each built driver module exports exactly one name, Load, and is
# built for the architecture its build folder promises.
#
#   scripts/check_exports.sh BUILD_DIR...
#
# A build folder holds bin/VDQRN.DLL (Windows presets) or bin/vdqrn.so (linux).
# PE32 DLLs must be Intel 80386, PE32+ DLLs x86-64. Exits non-zero on the first
# folder that fails, or when a folder holds no module.
set -euo pipefail

if [ "$#" -eq 0 ]; then
  echo "usage: $0 BUILD_DIR..." >&2
  exit 2
fi

fail() {
  echo "check_exports: $*" >&2
  exit 1
}

check_names() {
  local module=$1 names=$2
  if [ "$names" != "Load" ]; then
    fail "$module exports [$(echo "$names" | tr '\n' ' ')], expected exactly [Load]"
  fi
}

for dir in "$@"; do
  if [ -f "$dir/bin/VDQRN.DLL" ]; then
    module=$dir/bin/VDQRN.DLL
    kind=$(file -b "$module")
    case "$kind" in
      PE32+*x86-64*) objdump=x86_64-w64-mingw32-objdump ;;
      PE32\ *80386*) objdump=i686-w64-mingw32-objdump ;;
      *) fail "$module is neither a PE32 i386 nor a PE32+ x86-64 DLL: $kind" ;;
    esac
    # The names between the name pointer table's header and the next blank line.
    names=$("$objdump" -p "$module" |
      awk '/\[Ordinal\/Name Pointer\] Table/ {inside = 1; next}
           inside && NF == 0 {inside = 0}
           inside {print $NF}')
    check_names "$module" "$names"
    echo "ok: $module ($(echo "$kind" | cut -d, -f1)) exports Load only"
  elif [ -f "$dir/bin/vdqrn.so" ]; then
    module=$dir/bin/vdqrn.so
    names=$(nm -D --defined-only "$module" | awk '{print $NF}')
    check_names "$module" "$names"
    echo "ok: $module exports Load only"
  else
    fail "no VDQRN.DLL or vdqrn.so in $dir/bin"
  fi
done
