#!/bin/sh
# Installs the vdqrn driver into an ICA client for Linux, or removes it:
#
#   ./install.sh [--icaroot DIR]               install
#   ./install.sh [--icaroot DIR] --uninstall   remove
#   ./install.sh [--icaroot DIR] --check       only check that the client can
#                                              take it (changes nothing)
#
# DIR is the client's folder (default /opt/Citrix/ICAClient, the system
# client's; a user's own client lives in their home folder). Copies VDQRN.DLL
# (and the 32-bit instrument host qrnhost32, where the package has it) from
# this script's folder into DIR and registers the module in
# DIR/config/module.ini: QRN appended to VirtualDriver and "QRN = On" in
# [ICA 3.0], and a section [QRN] with "DriverName = VDQRN.DLL". Other
# drivers' lines keep their bytes (CRLF line ends included); running it again
# changes nothing. module.ini is replaced whole (a new file written beside it,
# then renamed over it): it is always either the old file or the new one. The
# file as it was before our first change is kept as
# config/module.ini.vdqrn-backup until --uninstall has taken our lines out
# again; a later run never overwrites it. A module.ini it cannot edit safely
# (no [ICA 3.0] section or VirtualDriver line, two of them, a ';' on the
# list's line) is refused with the reason, and nothing is changed. A client
# upgrade may rewrite module.ini: run this script again afterwards.
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
    --check) action=check; shift ;;
    -h | --help) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
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
# A module.ini that is a link: the file it names is edited, beside itself.
if [ -L "$ini" ]; then
  target=$(readlink -f "$ini") || fail "cannot follow the link $ini"
  ini=$target
fi
config=$(dirname "$ini")
backup="$ini.vdqrn-backup"
[ -w "$icaroot" ] && [ -w "$ini" ] && [ -w "$config" ] ||
  fail "cannot write to $icaroot or $ini: run as root (sudo) for the system client, or as the user who owns it."

# Our temporary files (removed however the script ends).
temporary=
cleanup() {
  # shellcheck disable=SC2086
  [ -z "$temporary" ] || rm -f $temporary
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# Prints module.ini with our lines added (install) or taken out (uninstall,
# or "check" for the lines that are ours), or prints why it is refused on
# stderr and exits with 3. Section and key names are compared without case,
# as the client does. A line's CR (CRLF files) stays on it; added lines get
# the CR of the file's first line; a last line without a line end stays so.
edit_ini() {
  final_newline=no
  [ -z "$(tail -c 1 "$ini" | tr -d '\n')" ] && final_newline=yes
  awk -v action="$1" -v final_newline="$final_newline" -v file="$ini" '
    function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
    function key(line) { line = tolower(line); sub(/=.*/, "", line); return trim(line) }
    # Refused forms are refused when installing (or checking); an uninstall
    # takes out what it finds of ours.
    function refuse(why) {
      if (action == "uninstall") return
      print "install.sh: " file ": " why "; nothing was changed." > "/dev/stderr"
      refused = 1
      exit 3
    }
    # Lines go out with a line end before each but the first (with the CR
    # of the line it ends); the last gets one at the end when the file had
    # one.
    function out(line) {
      if (lines++) printf "%s\n", line_end_cr
      printf "%s", line
      line_end_cr = cr
    }
    # The list with QRN after its last entry (once), or without each QRN
    # entry and one comma beside it (the one before it, but for the first):
    # the one undoes the other byte for byte, and other entries keep their
    # blanks and commas.
    function edit_list(value,    n, parts, i, last, result, kept) {
      n = split(value, parts, ",")
      if (action == "install") {
        for (i = 1; i <= n; i++) if (tolower(trim(parts[i])) == "qrn") return value
        last = 0
        for (i = 1; i <= n; i++) if (trim(parts[i]) != "") last = i
        if (last == 0) {
          if (index(value, ",")) refuse("VirtualDriver in [ICA 3.0] holds commas but no driver")
          return value (value ~ /[ \t]$/ ? "" : " ") "QRN"
        }
        result = ""
        for (i = 1; i <= n; i++) {
          result = result (i > 1 ? "," : "") parts[i]
          if (i == last) result = result (value ~ /, / ? ", " : ",") "QRN"
        }
        return result
      }
      result = ""
      kept = 0
      for (i = 1; i <= n; i++) {
        if (tolower(trim(parts[i])) == "qrn") continue
        result = kept++ ? result "," parts[i] : parts[i]
      }
      return result
    }
    {
      cr = ""
      if (sub(/\r$/, "")) cr = "\r"
      if (NR == 1) added_cr = cr
    }
    # A section header, with or without a comment after it.
    /^[ \t]*\[[^]]*\][ \t]*(;.*)?$/ {
      name = $0
      sub(/^[ \t]*\[/, "", name)
      sub(/\].*/, "", name)
      name = tolower(trim(name))
      in_ica = (name == "ica 3.0")
      in_qrn = (name == "qrn")
      if (in_ica) ica_sections++
      if (in_qrn) next
      out($0)
      next
    }
    # Our section is written anew at the end of the file (install).
    in_qrn { next }
    in_ica && key($0) == "virtualdriver" {
      if (++lists > 1) refuse("[ICA 3.0] has more than one VirtualDriver line")
      eq = index($0, "=")
      value = substr($0, eq + 1)
      if (index(value, ";")) refuse("the VirtualDriver line in [ICA 3.0] holds a \";\" (a comment?), which the client may read as part of the list; put the comment on a line of its own")
      out(substr($0, 1, eq) edit_list(value))
      if (action == "install") out("QRN = On")
      next
    }
    # Our switch follows the list (install), or goes (uninstall).
    in_ica && key($0) == "qrn" { next }
    { out($0) }
    END {
      if (refused) exit 3
      if (ica_sections == 0) refuse("it has no [ICA 3.0] section: not a client module.ini this script knows")
      if (ica_sections > 1) refuse("it has more than one [ICA 3.0] section")
      if (lists == 0) refuse("[ICA 3.0] has no VirtualDriver line: not a client module.ini this script knows")
      cr = added_cr
      if (final_newline == "no") line_end_cr = added_cr
      if (action == "install") { out("[QRN]"); out("DriverName = VDQRN.DLL") }
      if (lines && final_newline == "yes") printf "%s\n", line_end_cr
    }
  ' "$ini"
}

# Whether a module.ini (the file named) registers our module: QRN in the
# list, "QRN = On" and DriverName = VDQRN.DLL in [QRN].
registers_qrn() {
  awk '
    function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t\r]+$/, "", s); return s }
    function key(line) { line = tolower(line); sub(/=.*/, "", line); return trim(line) }
    function value(line) { sub(/^[^=]*=/, "", line); return trim(line) }
    /^[ \t]*\[/ {
      name = tolower($0); sub(/^[ \t]*\[/, "", name); sub(/\].*/, "", name)
      section = trim(name)
      next
    }
    section == "ica 3.0" && key($0) == "virtualdriver" {
      n = split(value($0), parts, ",")
      for (i = 1; i <= n; i++) if (tolower(trim(parts[i])) == "qrn") listed = 1
    }
    section == "ica 3.0" && key($0) == "qrn" && tolower(value($0)) == "on" { on = 1 }
    section == "qrn" && key($0) == "drivername" && value($0) == "VDQRN.DLL" { named = 1 }
    END { exit !(listed && on && named) }
  ' "$1"
}
# Whether it has any line of ours left.
has_our_lines() {
  awk '
    function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t\r]+$/, "", s); return s }
    /^[ \t]*\[/ {
      name = tolower($0); sub(/^[ \t]*\[/, "", name); sub(/\].*/, "", name)
      section = trim(name)
      if (section == "qrn") found = 1
      next
    }
    section == "ica 3.0" {
      line = tolower($0)
      if (line ~ /^[ \t]*qrn[ \t]*=/) found = 1
      if (line ~ /^[ \t]*virtualdriver[ \t]*=/) {
        sub(/^[^=]*=/, "", line)
        n = split(line, parts, ",")
        for (i = 1; i <= n; i++) if (trim(parts[i]) == "qrn") found = 1
      }
    }
    END { exit !found }
  ' "$1"
}

# Flushes a file (or folder) to the disk; where `sync FILE` is not known,
# everything.
flush() { sync "$1" 2>/dev/null || sync; }

# Writes a file as a copy of another (owner and mode kept) whole under a
# temporary name beside it, then renames it over the file: the file is either
# the old one or the new one.
#   write_whole TARGET SOURCE
write_whole() {
  new="$(dirname "$1")/.$(basename "$1").vdqrn-new"
  temporary="$temporary $new"
  cp -p "$2" "$new" 2>/dev/null || { rm -f "$new"; return 1; }
  flush "$new" || return 1
  mv -f "$new" "$1" || return 1
  flush "$(dirname "$1")"
}

# Replaces module.ini with the edited text when it differs. Writes the
# edited text beside module.ini first (owner and mode copied from it),
# checks it, keeps the original as the backup when there is none yet, then
# renames the new file over module.ini.
apply_edit() {
  # Nothing written where nothing changes (a full disk included).
  if edit_ini "$1" | cmp -s - "$ini"; then
    echo "module.ini: nothing to change"
    remove_backup_after "$1"
    return 0
  fi
  edited="$config/.module.ini.vdqrn-edit"
  temporary="$temporary $edited"
  if ! cp -p "$ini" "$edited" 2>/dev/null || ! edit_ini "$1" >"$edited" || ! flush "$edited"; then
    rm -f "$edited"
    fail "cannot write $edited (is the disk full?); $ini was not changed."
  fi
  if [ "$1" = install ]; then
    registers_qrn "$edited" || fail "the edited module.ini does not register QRN; $ini was not changed."
    if [ ! -e "$backup" ]; then
      write_whole "$backup" "$ini" ||
        fail "cannot write $backup (is the disk full?); $ini was not changed."
      echo "module.ini: the original is kept as $backup"
    fi
  elif has_our_lines "$edited"; then
    fail "the edited module.ini still has lines of ours; $ini was not changed."
  fi
  mv -f "$edited" "$ini" || fail "cannot rename $edited over $ini; $ini was not changed."
  flush "$config"
  echo "module.ini: updated"
  remove_backup_after "$1"
}

# The backup goes once an uninstall has left none of our lines.
remove_backup_after() {
  if [ "$1" = uninstall ] && [ -e "$backup" ] && ! has_our_lines "$ini"; then
    rm -f "$backup"
    echo "module.ini: our lines are gone; removed $backup"
  fi
}

# Puts a file in place under a new name first and renames it over the old
# one: a client that is running keeps the file it loaded, whole.
place() {
  new="$icaroot/.$1.vdqrn-new"
  temporary="$temporary $new"
  if ! cp "$here/$1" "$new" 2>/dev/null || ! chmod "$2" "$new" || ! flush "$new"; then
    rm -f "$new"
    fail "cannot write $new (is the disk full?); $ini was not changed."
  fi
  mv -f "$new" "$icaroot/$1"
  echo "installed $icaroot/$1"
}

# Whether module.ini can be edited: a form this script refuses is refused
# here, before anything is copied.
edit_ini "$action" >/dev/null || exit 1

case "$action" in
  check)
    echo "install.sh: the client in $icaroot can take the driver"
    ;;
  install)
    [ -f "$here/VDQRN.DLL" ] || fail "VDQRN.DLL is not beside this script ($here)"
    place VDQRN.DLL 644
    [ -f "$here/qrnhost32" ] && place qrnhost32 755
    apply_edit install
    echo "Done. Restart the client. After a client upgrade, run this script again."
    ;;
  uninstall)
    apply_edit uninstall
    for file in VDQRN.DLL qrnhost32; do
      if [ -f "$icaroot/$file" ]; then
        rm -f "$icaroot/$file"
        echo "removed $icaroot/$file"
      fi
    done
    echo "Done. Restart the client."
    ;;
esac
