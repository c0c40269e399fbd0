#!/bin/sh
# Installs the vdqrn driver into an ICA client for Linux, checks it, or
# removes it:
#
#   ./install.sh [--icaroot DIR]                 install
#   ./install.sh [--icaroot DIR] --uninstall     remove
#   ./install.sh [--icaroot DIR] --check         check the installed driver
#                                                as the client reads it
#   ./install.sh [--icaroot DIR] --can-install   only check that the client
#                                                can take this package
#   ./install.sh --version                       print the version
#
# DIR is the client's folder (default /opt/Citrix/ICAClient, the system
# client's; a user's own client lives in their home folder). Copies VDQRN.DLL
# and the instrument hosts the package has (qrnhost64, qrnhost32) from this
# script's folder into DIR and registers the module in DIR/config/module.ini:
# QRN appended to VirtualDriver and "QRN = On" in [ICA 3.0], and a section
# [QRN] with "DriverName = VDQRN.DLL". Other drivers' lines keep their bytes
# (CRLF line ends included); running it again changes nothing. module.ini is
# replaced whole (a new file written beside it, then renamed over it): it is
# always either the old file or the new one. The file as it was before our
# first change is kept as config/module.ini.vdqrn-backup until --uninstall
# has taken our lines out again; a later run never overwrites it. An install
# that fails before module.ini is replaced takes back the files it placed
# (older ones it replaced are put back): the client is left as it was.
#
# Refused, with the reason and nothing changed: a folder without
# config/module.ini (exit status 13), a module.ini it cannot edit safely (no
# [ICA 3.0] section or VirtualDriver line, two of them, a ';' on the list's
# line: 21), a package of another architecture than the client's program
# (DIR/wfica, else another ELF file of the client's: 18), a folder it cannot
# write (1). A client upgrade may rewrite module.ini: run this script again
# afterwards.
#
# --check prints one line per finding, each fault with its fix, and exits
# with the status of the first fault in this order: 13 no client, 21 a
# module.ini the client may misread, 14 the VirtualDriver list lacks QRN,
# 15 no "QRN = On", 16 no [QRN] with DriverName = VDQRN.DLL, 17 VDQRN.DLL
# missing, 18 VDQRN.DLL of another architecture than the client's, 19 an
# instrument host the client needs missing, 20 the driver's log
# (${TMPDIR:-/tmp}/QuarnClientDriver.log) not writable by this user; 0 when
# none.
set -eu

# Written in by scripts/package.sh; empty in the source tree.
version=
package_arch=

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
    --can-install) action=can-install; shift ;;
    --version) action=version; shift ;;
    # The header comment, whatever its length: every line up to the first
    # that is not a comment.
    -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    *) echo "install.sh: unknown argument \"$1\" (see --help)" >&2; exit 2 ;;
  esac
done

if [ -n "$version" ]; then
  product="vdqrn $version"
else
  product="vdqrn (version unknown: this install.sh is the source tree's, not a package's)"
fi
if [ "$action" = version ]; then
  echo "$product"
  exit 0
fi

here=$(cd "$(dirname "$0")" && pwd)
ini="$icaroot/config/module.ini"
# fail [STATUS] MESSAGE: says why on stderr and exits (status 1 by default).
fail() {
  fail_status=1
  case "$1" in [0-9] | [0-9][0-9]) fail_status=$1; shift ;; esac
  echo "install.sh: $*" >&2
  exit "$fail_status"
}

# The architecture an ELF file is for: x64, x86, armhf or arm64, or "ELF
# class C, machine M" for another; fails for a file that is not ELF (or
# cannot be read). Reads the header's class (byte 4), byte order (5) and
# machine (18-19).
elf_arch() {
  [ -f "$1" ] && [ -r "$1" ] || return 1
  # shellcheck disable=SC2046
  set -- $(od -An -tu1 -N20 "$1" 2>/dev/null)
  [ $# -eq 20 ] && [ "$1 $2 $3 $4" = "127 69 76 70" ] || return 1
  if [ "$6" = 2 ]; then machine=$((${19} * 256 + ${20})); else machine=$((${19} + ${20} * 256)); fi
  case "$5:$machine" in
    2:62) echo x64 ;;
    1:3) echo x86 ;;
    1:40) echo armhf ;;
    2:183) echo arm64 ;;
    *) echo "ELF class $5, machine $machine" ;;
  esac
}

# The client's architecture, from its program DIR/wfica, else from another
# ELF file of its folder that is not ours (in name order): sets client_arch
# and client_arch_from; both empty when none can be read.
find_client_arch() {
  client_arch=
  client_arch_from=
  if client_arch=$(elf_arch "$icaroot/wfica"); then
    client_arch_from="$icaroot/wfica"
    return 0
  fi
  client_arch=
  client_arch_from=$(find "$icaroot" -maxdepth 2 -type f ! -path "$icaroot/config/*" \
    ! -name VDQRN.DLL ! -name qrnhost32 ! -name qrnhost64 ! -name '.*' 2>/dev/null |
    LC_ALL=C sort | head -200 | while IFS= read -r candidate; do
      if elf_arch "$candidate" >/dev/null; then
        echo "$candidate"
        break
      fi
    done)
  [ -z "$client_arch_from" ] || client_arch=$(elf_arch "$client_arch_from")
}
unread="no $icaroot/wfica, no other ELF file in the client's folder"

# The instrument hosts a client of an architecture runs: the 64-bit host for
# 64-bit libraries and the 32-bit one (of its machine family) for 32-bit
# ones.
hosts_for() {
  case "$1" in
    x64 | arm64) echo "qrnhost64 qrnhost32" ;;
    x86 | armhf) echo qrnhost32 ;;
  esac
}
# The architecture of a host beside a module of an architecture.
host_arch() {
  case "$1:$2" in
    x64:qrnhost32) echo x86 ;;
    arm64:qrnhost32) echo armhf ;;
    *) echo "$1" ;;
  esac
}

# Prints module.ini with our lines added (install) or taken out (uninstall),
# or prints why it is refused on stderr and exits with 3. Section and key
# names are compared without case, as the client does. A line's CR (CRLF
# files) stays on it; added lines get the CR of the file's first line; a
# last line without a line end stays so.
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
      if (index(value, ";"))
        refuse("the VirtualDriver line in [ICA 3.0] holds a \";\" (a comment?), which the " \
          "client may read as part of the list; put the comment on a line of its own")
      out(substr($0, 1, eq) edit_list(value))
      if (action == "install") out("QRN = On")
      next
    }
    # Our switch follows the list (install), or goes (uninstall).
    in_ica && key($0) == "qrn" { next }
    { out($0) }
    END {
      if (refused) exit 3
      if (ica_sections == 0)
        refuse("it has no [ICA 3.0] section: not a client module.ini this script knows")
      if (ica_sections > 1) refuse("it has more than one [ICA 3.0] section")
      if (lists == 0)
        refuse("[ICA 3.0] has no VirtualDriver line: not a client module.ini this script knows")
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

# What module.ini says of our registration, as the client reads it, one
# fact a line: "ica N" ([ICA 3.0] sections), "qrn N" ([QRN] sections),
# "lists N" (VirtualDriver lines in [ICA 3.0]), "semicolon 1" (one of them
# holds a ';'), "listed 1" (QRN in the list), "switch VALUE" (the last
# "QRN = VALUE" of [ICA 3.0]), "driver VALUE" (DriverName in [QRN]).
# Section and key names are compared without case, as the client does.
read_registration() {
  awk '
    function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
    function key(line) { line = tolower(line); sub(/=.*/, "", line); return trim(line) }
    function value(line) { sub(/^[^=]*=/, "", line); return trim(line) }
    { sub(/\r$/, "") }
    /^[ \t]*\[[^]]*\][ \t]*(;.*)?$/ {
      name = $0
      sub(/^[ \t]*\[/, "", name)
      sub(/\].*/, "", name)
      section = tolower(trim(name))
      if (section == "ica 3.0") ica++
      if (section == "qrn") qrn++
      next
    }
    section == "ica 3.0" && key($0) == "virtualdriver" {
      lists++
      if (index($0, ";")) semicolon = 1
      n = split(value($0), parts, ",")
      for (i = 1; i <= n; i++) if (tolower(trim(parts[i])) == "qrn") listed = 1
    }
    section == "ica 3.0" && key($0) == "qrn" { switch = value($0); switched = 1 }
    section == "qrn" && key($0) == "drivername" { driver = value($0); named = 1 }
    END {
      printf "ica %d\nqrn %d\nlists %d\n", ica, qrn, lists
      printf "semicolon %d\nlisted %d\n", semicolon, listed
      if (switched) print "switch " switch
      if (named) print "driver " driver
    }
  ' "$1"
}

# The driver's log file, as the driver names it: in $TMPDIR when set and
# not empty, else /tmp; in /tmp where the folder's name would be longer than
# 260 characters.
log_file() {
  log_folder=${TMPDIR:-/tmp}
  case "$log_folder" in */) ;; *) log_folder="$log_folder/" ;; esac
  [ "${#log_folder}" -le 260 ] || log_folder=/tmp/
  echo "${log_folder}QuarnClientDriver.log"
}

# The check: reads the installation as the client reads it, prints one line
# per finding (each fault with its fix) and returns the status of the first
# fault in the order of the statuses (see the header), 0 when none.
check_status=0
finding_ok() { echo "ok: $*"; }
# fault STATUS WHAT... FIX
fault() {
  fault_status=$1
  shift
  # The last argument is the fix; the ones before it, the fault.
  fault_what=
  while [ $# -gt 1 ]; do
    fault_what="$fault_what${fault_what:+ }$1"
    shift
  done
  echo "FAULT $fault_status: $fault_what. Fix: $1."
  [ "$check_status" -ne 0 ] || check_status=$fault_status
}
run_check() {
  again="run install.sh again"
  not_loaded="the client does not load the driver"
  echo "$product: checking the driver in $icaroot as the client reads it"
  if [ ! -f "$ini" ]; then
    fault 13 "no ICA client in $icaroot ($ini is missing)" \
      "install the client, or name its folder with --icaroot DIR"
    return "$check_status"
  fi
  if [ ! -r "$ini" ]; then
    fault 13 "$ini cannot be read by $(id -un 2>/dev/null || id -u)" \
      "check it as a user who can read it (or root)"
    return "$check_status"
  fi
  ica=0 qrn=0 lists=0 semicolon=0 listed=0 switch= switched= driver= named=
  while IFS=' ' read -r fact fact_value; do
    case "$fact" in
      ica) ica=$fact_value ;;
      qrn) qrn=$fact_value ;;
      lists) lists=$fact_value ;;
      semicolon) semicolon=$fact_value ;;
      listed) listed=$fact_value ;;
      switch) switch=$fact_value switched=yes ;;
      driver) driver=$fact_value named=yes ;;
    esac
  done <<FACTS
$(read_registration "$ini")
FACTS
  by_hand="fix $ini by hand (one [ICA 3.0] section with one VirtualDriver line, no ';' on that"
  by_hand="$by_hand line, at most one [QRN] section), then $again"
  other="the client may read another one than ours"
  [ "$ica" -le 1 ] || fault 21 "$ini has $ica [ICA 3.0] sections: $other" "$by_hand"
  [ "$qrn" -le 1 ] || fault 21 "$ini has $qrn [QRN] sections: $other" "$by_hand"
  [ "$ica" -ne 0 ] || fault 21 "$ini has no [ICA 3.0] section: not a client module.ini" "$by_hand"
  [ "$ica" -eq 0 ] || [ "$lists" -ne 0 ] ||
    fault 21 "[ICA 3.0] of $ini has no VirtualDriver line: not a client module.ini" "$by_hand"
  [ "$lists" -le 1 ] ||
    fault 21 "[ICA 3.0] of $ini has $lists VirtualDriver lines: $other" "$by_hand"
  [ "$semicolon" -eq 0 ] ||
    fault 21 "the VirtualDriver line of $ini holds a ';', which the client may read as part of \
the list" "$by_hand"
  if [ "$lists" -ne 0 ]; then
    if [ "$listed" -eq 1 ]; then
      finding_ok "the VirtualDriver list of [ICA 3.0] names QRN"
    else
      fault 14 "the VirtualDriver list of [ICA 3.0] in $ini does not name QRN: $not_loaded" \
        "$again (a client upgrade rewrites module.ini)"
    fi
    case "$switch" in
      [Oo][Nn]) finding_ok "[ICA 3.0] has QRN = On" ;;
      *)
        if [ -n "$switched" ]; then
          fault 15 "[ICA 3.0] in $ini has \"QRN = $switch\", not \"QRN = On\": $not_loaded" \
            "$again"
        else
          fault 15 "[ICA 3.0] in $ini has no \"QRN = On\": $not_loaded" "$again"
        fi
        ;;
    esac
  fi
  if [ "$qrn" -eq 0 ]; then
    fault 16 "$ini has no [QRN] section: the client does not know the driver's file" "$again"
  elif [ "$driver" = VDQRN.DLL ]; then
    finding_ok "[QRN] has DriverName = VDQRN.DLL"
  elif [ -n "$named" ]; then
    fault 16 "[QRN] in $ini has \"DriverName = $driver\", not \"DriverName = VDQRN.DLL\"" "$again"
  else
    fault 16 "[QRN] in $ini has no \"DriverName = VDQRN.DLL\"" "$again"
  fi

  module="$icaroot/VDQRN.DLL"
  module_arch=
  if [ ! -f "$module" ]; then
    fault 17 "$module is missing: the client cannot load the driver" "$again"
  elif ! module_arch=$(elf_arch "$module"); then
    module_arch=
    fault 17 "$module is not a driver module (no ELF header it can read)" "$again"
  else
    finding_ok "$module is there ($module_arch)"
  fi
  find_client_arch
  if [ -z "$client_arch" ]; then
    echo "note: the client's architecture cannot be read ($unread): the module's match with it is" \
      "not checked"
  elif [ -n "$module_arch" ] && [ "$module_arch" != "$client_arch" ]; then
    case "$client_arch" in
      x64 | x86 | armhf | arm64) take="take the vdqrn-linux-$client_arch package and install it" ;;
      *) take="no vdqrn package is for this client's machine; remove the driver ($0 --uninstall)" ;;
    esac
    fault 18 "$module is for $module_arch, the client ($client_arch_from) is $client_arch: the" \
      "client cannot load it" "$take"
  elif [ -n "$module_arch" ]; then
    finding_ok "the module is for the client's architecture, $client_arch" \
      "(read from $client_arch_from)"
  fi
  # The hosts the client's architecture needs (the module's where the
  # client's cannot be read).
  needs_arch=${client_arch:-$module_arch}
  for host in $(hosts_for "$needs_arch"); do
    expected=$(host_arch "$needs_arch" "$host")
    if [ ! -f "$icaroot/$host" ]; then
      fault 19 "$icaroot/$host is missing: the $needs_arch client runs its $(host_bits "$host")" \
        "instrument libraries through it" "$again"
    elif [ ! -x "$icaroot/$host" ]; then
      fault 19 "$icaroot/$host is not executable" "$again"
    elif [ "$(elf_arch "$icaroot/$host" || echo none)" != "$expected" ]; then
      fault 19 "$icaroot/$host is not for $expected, as a $needs_arch client needs" "$again"
    else
      finding_ok "$icaroot/$host is there ($expected)"
    fi
  done
  check_log
  if [ "$check_status" -eq 0 ]; then
    echo "no fault found"
  else
    echo "exit status $check_status (the first fault's)"
  fi
  return "$check_status"
}
host_bits() { case "$1" in qrnhost32) echo 32-bit ;; *) echo 64-bit ;; esac; }

# The log: the driver writes only to a regular file of the user's own, never
# through a link, and creates it where it is missing.
check_log() {
  log=$(log_file)
  user=$(id -un 2>/dev/null || id -u)
  no_log="without it the driver writes no log for $user (it works all the same)"
  own_tmp='TMPDIR=$HOME/tmp'
  if [ -L "$log" ]; then
    fault 20 "$log is a symbolic link (of $(owner_of "$log")): the driver never writes" \
      "through one; $no_log" \
      "remove it (rm $log, as root or its owner), or give $user a TMPDIR of their own"
  elif [ -e "$log" ] && [ ! -f "$log" ]; then
    fault 20 "$log is not a regular file: $no_log" \
      "remove it (as root or its owner), or give $user a TMPDIR of their own"
  elif [ -e "$log" ] && [ ! -O "$log" ]; then
    owner=$(owner_of "$log")
    who="root or $owner"
    [ "$owner" != root ] || who=root
    fault 20 "$log belongs to $owner, not to $user: the driver writes only to a file of the" \
      "user's own; $no_log" \
      "remove it (rm $log, as $who), or give $user a TMPDIR of their own ($own_tmp)"
  elif [ -e "$log" ] && [ ! -w "$log" ]; then
    fault 20 "$log is not writable by $user: $no_log" \
      "make it writable (chmod u+w $log) or remove it"
  elif [ ! -e "$log" ] && [ ! -w "$(dirname "$log")" ]; then
    fault 20 "$(dirname "$log") is not writable by $user, so $log cannot be made: $no_log" \
      "give $user a TMPDIR of their own ($own_tmp), or make the folder writable"
  else
    finding_ok "the driver's log $log can be written by $user"
  fi
}
owner_of() { ls -ld "$1" 2>/dev/null | awk '{ print $3 }'; }

# Flushes a file (or folder) to the disk; where `sync FILE` is not known,
# everything.
flush() { sync "$1" 2>/dev/null || sync; }

# Writes a file as a copy of another (owner and mode kept) whole under a
# temporary name beside it, then renames it over the file: the file is either
# the old one or the new one.
#   write_whole TARGET SOURCE
write_whole() {
  new="$(dirname "$1")/.$(basename "$1").vdqrn-new"
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
    committed=yes
    remove_backup_after "$1"
    return 0
  fi
  edited="$config/.module.ini.vdqrn-edit"
  if ! cp -p "$ini" "$edited" 2>/dev/null || ! edit_ini "$1" >"$edited" || ! flush "$edited"; then
    rm -f "$edited"
    fail "cannot write $edited (is the disk full?); $ini was not changed."
  fi
  if [ "$1" = install ]; then
    registers_qrn "$edited" ||
      fail "the edited module.ini does not register QRN; $ini was not changed."
    if [ ! -e "$backup" ]; then
      made_backup=yes
      write_whole "$backup" "$ini" ||
        fail "cannot write $backup (is the disk full?); $ini was not changed."
      echo "module.ini: the original is kept as $backup"
    fi
  elif has_our_lines "$edited"; then
    fail "the edited module.ini still has lines of ours; $ini was not changed."
  fi
  mv -f "$edited" "$ini" || fail "cannot rename $edited over $ini; $ini was not changed."
  # From here on the run counts as done: module.ini is the new one.
  committed=yes
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
# one: a client that is running keeps the file it loaded, whole. The file it
# replaces stays as .NAME.vdqrn-old until the run is done, to be put back if
# the install fails.
#   place NAME MODE
place() {
  new="$icaroot/.$1.vdqrn-new"
  old="$icaroot/.$1.vdqrn-old"
  if ! cp "$here/$1" "$new" 2>/dev/null || ! chmod "$2" "$new" || ! flush "$new"; then
    rm -f "$new"
    fail "cannot write $new (is the disk full?); $ini was not changed."
  fi
  had_one=
  if [ -e "$icaroot/$1" ]; then
    ln -f "$icaroot/$1" "$old" 2>/dev/null || cp -p "$icaroot/$1" "$old" ||
      fail "cannot keep the older $icaroot/$1 as $old; $ini was not changed."
    had_one=yes
  fi
  mv -f "$new" "$icaroot/$1" || fail "cannot rename $new over $icaroot/$1; $ini was not changed."
  if [ -n "$had_one" ]; then replaced="$replaced $1"; else placed="$placed $1"; fi
  echo "installed $icaroot/$1"
}

# An install that ends before module.ini is replaced (a failure, a signal)
# takes back what it did: the files it placed are removed, the ones it
# replaced put back, a backup it made removed.
placed=
replaced=
made_backup=
committed=
roll_back() {
  echo "install.sh: the install did not complete; taking back what it did:" >&2
  for file in $placed; do
    rm -f "$icaroot/$file" && echo "  removed $icaroot/$file" >&2
  done
  for file in $replaced; do
    mv -f "$icaroot/.$file.vdqrn-old" "$icaroot/$file" &&
      echo "  put back the older $icaroot/$file" >&2
  done
  if [ -n "$made_backup" ]; then
    rm -f "$backup" && echo "  removed $backup" >&2
  fi
  echo "install.sh: $icaroot is as it was before this run" >&2
}
cleanup() {
  status=$?
  set +e
  if [ "$status" -ne 0 ] && [ "$action" = install ] && [ -z "$committed" ]; then
    roll_back
  fi
  case "$action" in install | uninstall) remove_leftovers ;; esac
}

# Our temporary files (the new files before their rename, the older ones
# kept until the run is done): removed when a run ends, and what a run
# killed part-way left, when the next starts.
remove_leftovers() {
  for file in VDQRN.DLL qrnhost32 qrnhost64; do
    rm -f "$icaroot/.$file.vdqrn-new" "$icaroot/.$file.vdqrn-old"
  done
  rm -f "$config/.module.ini.vdqrn-edit" "$config/.module.ini.vdqrn-backup.vdqrn-new"
}

# The client's folder, as install, uninstall and --can-install need it.
[ -f "$ini" ] || [ "$action" = check ] ||
  fail 13 "no ICA client in $icaroot ($ini is missing). Install the client first, or name its" \
    "folder with --icaroot DIR."
# A module.ini that is a link: the file it names is edited, beside itself.
if [ -L "$ini" ]; then
  target=$(readlink -f "$ini") || fail "cannot follow the link $ini"
  ini=$target
fi
config=$(dirname "$ini")
backup="$ini.vdqrn-backup"

if [ "$action" = check ]; then
  status=0
  run_check || status=$?
  exit "$status"
fi

case "$action" in
  install) echo "$product: installing into $icaroot" ;;
  uninstall) echo "$product: removing from $icaroot" ;;
  can-install) echo "$product: checking that the client in $icaroot can take this package" ;;
esac
if ! { [ -w "$icaroot" ] && [ -w "$ini" ] && [ -w "$config" ]; }; then
  # A read-only file system refuses root too: say so rather than "run as root".
  if [ "$(id -u)" -eq 0 ]; then
    fail "cannot write to $icaroot or $ini although running as root: is it on a read-only" \
      "file system? Nothing was changed."
  fi
  fail "cannot write to $icaroot or $ini: run as root (sudo) for the system client, or as the" \
    "user who owns it."
fi

# Whether module.ini can be edited: a form this script refuses is refused
# here, before anything is copied.
[ "$action" = uninstall ] || edit_ini install >/dev/null || exit 21

# The package's architecture (its module's, else the one written in when it
# was packed) against the client's program's.
if [ "$action" != uninstall ]; then
  this_arch=$(elf_arch "$here/VDQRN.DLL" 2>/dev/null) || this_arch=$package_arch
  find_client_arch
  if [ -z "$client_arch" ]; then
    echo "install.sh: the client's architecture cannot be read ($unread): going on without" \
      "checking that the package matches it"
  elif [ -z "$this_arch" ]; then
    echo "install.sh: this package's architecture is not known (no VDQRN.DLL beside this" \
      "script): not checked against the client's ($client_arch)"
  elif [ "$this_arch" != "$client_arch" ]; then
    case "$client_arch" in
      x64 | x86 | armhf | arm64) take="take vdqrn-linux-$client_arch (or its .deb/.rpm) instead" ;;
      *) take="no vdqrn package is for this client's machine" ;;
    esac
    fail 18 "the client in $icaroot is $client_arch (read from $client_arch_from), this package" \
      "is $this_arch: the client cannot load its module; $take. Nothing was changed."
  else
    echo "install.sh: the client is $client_arch (read from $client_arch_from), as this package"
  fi
fi

trap cleanup EXIT
trap 'exit 1' HUP INT TERM

case "$action" in
  can-install)
    echo "install.sh: the client in $icaroot can take the driver"
    ;;
  install)
    [ -f "$here/VDQRN.DLL" ] || fail "VDQRN.DLL is not beside this script ($here)"
    remove_leftovers
    place VDQRN.DLL 644
    for host in qrnhost64 qrnhost32; do
      if [ -f "$here/$host" ]; then place "$host" 755; fi
    done
    apply_edit install
    echo "Done. Restart the client. After a client upgrade, run this script again;"
    echo "$0 --icaroot $icaroot --check checks the installation."
    ;;
  uninstall)
    remove_leftovers
    apply_edit uninstall
    for file in VDQRN.DLL qrnhost64 qrnhost32; do
      if [ -f "$icaroot/$file" ]; then
        rm -f "$icaroot/$file"
        echo "removed $icaroot/$file"
      fi
    done
    echo "Done. Restart the client."
    ;;
esac
