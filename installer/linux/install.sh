#!/bin/sh
# Installs the vdqrn driver into an ICA client for Linux, or removes it:
#
#   ./install.sh [--icaroot DIR]               install
#   ./install.sh [--icaroot DIR] --uninstall   remove
#
# DIR is the client's folder (default /opt/Citrix/ICAClient, the system
# client's; a user's own client lives in their home folder). Copies VDQRN.DLL
# (and the 32-bit instrument host qrnhost32, where the package has it) from
# this script's folder into DIR and registers the module in
# DIR/config/module.ini: QRN appended to VirtualDriver and "QRN = On" in
# [ICA 3.0], and a section [QRN] with "DriverName = VDQRN.DLL". Other
# drivers' lines are left as they are; running it again changes nothing. The
# file as it was before each change is kept as config/module.ini.vdqrn-backup.
# --uninstall removes exactly those lines and files. A client upgrade may
# rewrite module.ini: run this script again afterwards.
set -eu

icaroot=/opt/Citrix/ICAClient
action=install
while [ $# -gt 0 ]; do
  case "$1" in
    --icaroot)
      [ $# -ge 2 ] || { echo "install.sh: --icaroot needs a folder" >&2; exit 2; }
      icaroot=$2
      shift 2
      ;;
    --icaroot=*) icaroot=${1#--icaroot=}; shift ;;
    --uninstall) action=uninstall; shift ;;
    -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "install.sh: unknown argument \"$1\" (see --help)" >&2; exit 2 ;;
  esac
done

here=$(cd "$(dirname "$0")" && pwd)
ini="$icaroot/config/module.ini"
fail() {
  echo "install.sh: $*" >&2
  exit 1
}

[ -f "$ini" ] || fail "no ICA client in $icaroot ($ini is missing). Install the client first, or name its folder with --icaroot DIR."
[ -w "$icaroot" ] && [ -w "$ini" ] && [ -w "$icaroot/config" ] ||
  fail "cannot write to $icaroot or $ini: run as root (sudo) for the system client, or as the user who owns it."

# The module.ini with our lines added (install) or taken out (uninstall).
# Section and key names are compared without case, as the client does.
edit_ini() {
  awk -v action="$1" '
    function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t\r]+$/, "", s); return s }
    function key(line) { line = tolower(line); sub(/=.*/, "", line); return trim(line) }
    # The list with QRN appended (once) or removed, other entries untouched.
    function edit_list(value,    n, parts, i, out, found, sep) {
      n = split(value, parts, ",")
      found = 0
      for (i = 1; i <= n; i++) if (tolower(trim(parts[i])) == "qrn") found = 1
      if (action == "install") {
        if (found) return value
        if (trim(value) == "") return " QRN"
        sep = (value ~ /, /) ? ", " : ","
        sub(/[ \t\r]+$/, "", value)
        return value sep "QRN"
      }
      out = ""
      first = 1
      for (i = 1; i <= n; i++) {
        if (tolower(trim(parts[i])) == "qrn") continue
        out = first ? parts[i] : out "," parts[i]
        first = 0
      }
      return out
    }
    /^[ \t]*\[/ {
      name = tolower(trim($0))
      in_ica = (name == "[ica 3.0]")
      in_qrn = (name == "[qrn]")
      if (in_qrn) { seen_qrn = 1; if (action == "uninstall") next }
      print
      next
    }
    in_qrn {
      if (action == "uninstall") next
      if (key($0) == "drivername") { print "DriverName = VDQRN.DLL"; next }
      print
      next
    }
    in_ica && key($0) == "virtualdriver" {
      eq = index($0, "=")
      print substr($0, 1, eq) edit_list(substr($0, eq + 1))
      if (action == "install") print "QRN = On"
      next
    }
    # Our switch follows the list (install), or goes (uninstall).
    in_ica && key($0) == "qrn" { next }
    { print }
    END {
      if (action == "install" && !seen_qrn) { print "[QRN]"; print "DriverName = VDQRN.DLL" }
    }
  ' "$ini"
}

# Replaces module.ini with the edited text when it differs, keeping the old.
apply_edit() {
  edited="$ini.vdqrn-new"
  edit_ini "$1" >"$edited"
  if cmp -s "$edited" "$ini"; then
    rm -f "$edited"
    echo "module.ini: nothing to change"
    return 0
  fi
  cp -p "$ini" "$ini.vdqrn-backup"
  # Keep the file's owner and mode: write into it rather than replace it.
  cat "$edited" >"$ini"
  rm -f "$edited"
  echo "module.ini: updated (the previous one is $ini.vdqrn-backup)"
}

# Puts a file in place under a new name first and renames it over the old
# one: a client that is running keeps the file it loaded, whole.
place() {
  cp "$here/$1" "$icaroot/.$1.vdqrn-new"
  chmod "$2" "$icaroot/.$1.vdqrn-new"
  mv -f "$icaroot/.$1.vdqrn-new" "$icaroot/$1"
  echo "installed $icaroot/$1"
}

if [ "$action" = install ]; then
  [ -f "$here/VDQRN.DLL" ] || fail "VDQRN.DLL is not beside this script ($here)"
  place VDQRN.DLL 644
  [ -f "$here/qrnhost32" ] && place qrnhost32 755
  apply_edit install
  echo "Done. Restart the client. After a client upgrade, run this script again."
else
  apply_edit uninstall
  for file in VDQRN.DLL qrnhost32; do
    if [ -f "$icaroot/$file" ]; then
      rm -f "$icaroot/$file"
      echo "removed $icaroot/$file"
    fi
  done
  echo "Done. Restart the client."
fi
