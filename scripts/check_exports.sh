#!/usr/bin/env bash
# Checks the export tables of the built libraries: the driver module exports
# exactly one name, Load; the simulated instrument library exactly the 31
# entry points, undecorated (Connect, never _Connect@0); and each DLL is built
# for the architecture its build folder promises.
#
#   scripts/check_exports.sh BUILD_DIR...
#
# A build folder holds bin/VDQRN.DLL and bin/simspectro.dll (Windows presets)
# or bin/vdqrn.so and bin/simspectro.so (linux). The DLLs of a folder named
# windows-x86 must be i386, windows-x64 x86-64, windows-arm64 ARM64 (any
# other Windows folder: i386 or x86-64). Exits non-zero on the first file
# that fails.
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

# The COFF formats llvm-readobj may name for the DLLs of a build folder.
expected_formats() {
  case "${1%/}" in
    *windows-x86) echo "COFF-i386" ;;
    *windows-x64) echo "COFF-x86-64" ;;
    *windows-arm64) echo "COFF-ARM64" ;;
    *) echo "COFF-i386 COFF-x86-64" ;;
  esac
}

# Prints the exported names of a DLL or shared object, sorted, one a line;
# a DLL must be of one of the formats given.
#   exports_of FILE [FORMATS]
exports_of() {
  local file=$1 formats=${2:-}
  case "$file" in
    *.so) nm -D --defined-only "$file" | awk '{print $NF}' | LC_ALL=C sort ;;
    *)
      local table format
      table=$(llvm-readobj --coff-exports "$file" 2>&1) || fail "$file cannot be read: $table"
      format=$(sed -n 's/^Format: //p' <<<"$table")
      [[ " $formats " == *" $format "* ]] || fail "$file is $format, not ${formats// / or }"
      # Each export's name; an empty slot (no name, no address: lld starts
      # the ordinals at 0) is none, an export by ordinal alone shows as such.
      awk '/^ *Name:/ {name = $2} /^ *RVA:/ {if (name != "" || $2 != "0x0") print (name == "" ? "(by ordinal)" : name); name = ""}' \
        <<<"$table" | LC_ALL=C sort
      ;;
  esac
}

expect_exports() {
  local file=$1 expected=$2 what=$3 formats=${4:-}
  [ -f "$file" ] || fail "$file is missing"
  local names
  names=$(exports_of "$file" "$formats")
  expected=$(echo "$expected" | tr ' ' '\n' | grep -v '^$' | LC_ALL=C sort)
  if [ "$names" != "$expected" ]; then
    fail "$file exports [$(echo "$names" | tr '\n' ' ')], expected [$(echo "$expected" | tr '\n' ' ')]"
  fi
  local kind=""
  case "$file" in *.so) ;; *) kind=" ($(llvm-readobj --file-headers "$file" | sed -n 's/^Arch: //p'))" ;; esac
  echo "ok: $file$kind exports $what"
}

for dir in "$@"; do
  if [ -f "$dir/bin/VDQRN.DLL" ]; then
    formats=$(expected_formats "$dir")
    expect_exports "$dir/bin/VDQRN.DLL" "Load" "Load only" "$formats"
    expect_exports "$dir/bin/simspectro.dll" "$entry_points" "the 31 entry points" "$formats"
  elif [ -f "$dir/bin/vdqrn.so" ]; then
    expect_exports "$dir/bin/vdqrn.so" "Load" "Load only"
    expect_exports "$dir/bin/simspectro.so" "$entry_points" "the 31 entry points"
  else
    fail "no VDQRN.DLL or vdqrn.so in $dir/bin"
  fi
done
