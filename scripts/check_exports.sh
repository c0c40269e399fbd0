#!/usr/bin/env bash
# Checks the export tables of the built libraries: the driver module exports
# exactly one name, Load; the simulated instrument library exactly the 31
# entry points, undecorated (Connect, never _Connect@0); and each DLL is built
# for the architecture its build folder promises.
#
#   scripts/check_exports.sh BUILD_DIR...
#
# A build folder holds bin/VDQRN.DLL and bin/simspectro.dll (Windows presets)
# or bin/vdqrn.so and bin/simspectro.so (linux). PE32 DLLs must be Intel 80386,
# PE32+ DLLs x86-64. Exits non-zero on the first file that fails.
set -euo pipefail

if [ "$#" -eq 0 ]; then
  echo "usage: $0 BUILD_DIR..." >&2
  exit 2
fi

fail() {
  echo "check_exports: $*" >&2
  exit 1
}

# The 31 entry points, from the one list in the source.
entry_points=$(sed -n 's/^ *X(\([A-Za-z]*\),.*/\1/p' "$(dirname "$0")/../src/instrument/entry_points.h")
[ "$(wc -w <<<"$entry_points")" -eq 31 ] || fail "src/instrument/entry_points.h does not list 31 entry points"

# Prints the exported names of a DLL or shared object, sorted, one a line.
exports_of() {
  local file=$1
  case "$file" in
    *.so) nm -D --defined-only "$file" | awk '{print $NF}' | LC_ALL=C sort ;;
    *)
      local kind objdump
      kind=$(file -b "$file")
      case "$kind" in
        PE32+*x86-64*) objdump=x86_64-w64-mingw32-objdump ;;
        PE32\ *80386*) objdump=i686-w64-mingw32-objdump ;;
        *) fail "$file is neither a PE32 i386 nor a PE32+ x86-64 DLL: $kind" ;;
      esac
      # The names between the name pointer table's header and the next blank line.
      "$objdump" -p "$file" |
        awk '/\[Ordinal\/Name Pointer\] Table/ {inside = 1; next}
             inside && NF == 0 {inside = 0}
             inside {print $NF}' | LC_ALL=C sort
      ;;
  esac
}

expect_exports() {
  local file=$1 expected=$2 what=$3
  [ -f "$file" ] || fail "$file is missing"
  local names
  names=$(exports_of "$file")
  expected=$(echo "$expected" | tr ' ' '\n' | grep -v '^$' | LC_ALL=C sort)
  if [ "$names" != "$expected" ]; then
    fail "$file exports [$(echo "$names" | tr '\n' ' ')], expected [$(echo "$expected" | tr '\n' ' ')]"
  fi
  local kind=""
  case "$file" in *.so) ;; *) kind=" ($(file -b "$file" | cut -d, -f1))" ;; esac
  echo "ok: $file$kind exports $what"
}

for dir in "$@"; do
  if [ -f "$dir/bin/VDQRN.DLL" ]; then
    expect_exports "$dir/bin/VDQRN.DLL" "Load" "Load only"
    expect_exports "$dir/bin/simspectro.dll" "$entry_points" "the 31 entry points"
  elif [ -f "$dir/bin/vdqrn.so" ]; then
    expect_exports "$dir/bin/vdqrn.so" "Load" "Load only"
    expect_exports "$dir/bin/simspectro.so" "$entry_points" "the 31 entry points"
  else
    fail "no VDQRN.DLL or vdqrn.so in $dir/bin"
  fi
done
