# Shared by the project's scripts.

step() { printf '\n=== %s === (%s)\n' "$*" "$(date +%H:%M:%S)"; }

# Commands run when the script exits, each once, in the order they were
# given (a script's own `trap ... EXIT` would replace them).
exit_hooks=()
at_exit() {
  local hook
  for hook in "${exit_hooks[@]}"; do [ "$hook" = "$1" ] && return 0; done
  exit_hooks+=("$1")
  trap 'for exit_hook in "${exit_hooks[@]}"; do eval "$exit_hook" || true; done' EXIT
}

# The machine's caches, kept outside every build folder and clone: the arm64
# toolchain and system, and the compiler cache (ccache, which the builds use
# where it is installed) where this user may write there; elsewhere ccache's
# own folder in the user's home.
vdqrn_cache=${VDQRN_CACHE:-/var/cache/vdqrn}
if [ -z "${CCACHE_DIR:-}" ] && mkdir -p "$vdqrn_cache" 2>/dev/null && [ -w "$vdqrn_cache" ]; then
  export CCACHE_DIR="$vdqrn_cache/ccache" CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G}
fi

# Installing Debian packages (as root). Groups of packages are installed by
# what needs them: a group that cannot be installed sets its reason in
# install_why[GROUP] and takes only the steps that need it with it.
declare -gA install_why=()
# Options a script adds to `apt-get install` (--no-install-recommends).
apt_install_options=()

# `apt-get update`, once per script run (again after an architecture was
# added). A list the archive fails to serve (a mirror being re-synced) is
# tried again up to three times, with a pause (VDQRN_APT_RETRY_PAUSE
# seconds, 15 by default); lists that still fail are named, loudly, and the
# run goes on with the lists apt has.
apt_updated_for=
apt_update() {
  local arches
  arches=$(dpkg --print-foreign-architectures 2>/dev/null | sort | tr '\n' ' ')
  [ "$apt_updated_for" = "updated: $arches" ] && return 0
  apt_updated_for="updated: $arches"
  local log try pause=${VDQRN_APT_RETRY_PAUSE:-15}
  log=$(mktemp)
  for try in 1 2 3; do
    if apt-get update -q >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    if [ "$try" -lt 3 ]; then
      echo "apt-get update failed (try $try of 3): $(grep -E '^(E|W):' "$log" | head -1)"
      sleep "$pause"
    fi
  done
  local failed=()
  mapfile -t failed < <(sed -n 's/^E: Failed to fetch \([^ ]*\) *\(.*\)/\1 (\2)/p' "$log")
  [ ${#failed[@]} -gt 0 ] || mapfile -t failed < <(grep -E '^(E|W):' "$log" | head -3)
  rm -f "$log"
  loud "SOME PACKAGE LISTS COULD NOT BE FETCHED, AFTER THREE TRIES:" "${failed[@]}" \
    "Going on with the lists apt has; what cannot be installed without them is said below."
  return 0
}

# Installs the missing packages of one group. On failure sets
# install_why[GROUP] to "PACKAGES could not be installed: APT'S REASON",
# prints apt's output and fails. A package of another architecture
# (wine32:i386) first adds that architecture to dpkg.
#   install_group GROUP PACKAGE...
install_group() {
  local group=$1 package
  shift
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  step "installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    install_why[$group]="${missing[*]} missing (run as root to install them)"
    echo "${install_why[$group]}" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  for package in "${missing[@]}"; do
    case "$package" in
      *:*)
        local arch=${package#*:}
        dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
        ;;
    esac
  done
  apt_update
  local log status=0
  log=$(mktemp)
  apt-get install -y -q "${apt_install_options[@]}" "${missing[@]}" >"$log" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    echo "installed: ${missing[*]}"
    rm -f "$log"
    return 0
  fi
  cat "$log"
  local reason
  reason=$(grep -E '^E:|Depends:|no installation candidate|Unable to locate' "$log" | sed 's/^ *//' |
    head -4 | paste -sd ';' | sed 's/;/; /g')
  install_why[$group]="${missing[*]} could not be installed: ${reason:-apt-get exited with $status}"
  rm -f "$log"
  return 1
}

# Installs packages a script cannot do without: fails, with apt's reason,
# when one cannot be installed.
install_packages() {
  install_group required "$@" && return 0
  echo "${install_why[required]}" >&2
  return 1
}

# The files of a package, one a line: the path inside the package, then where
# it comes from ("PRESET:FILE" built, or a path in the source tree).
#   package_contents windows x86|x64|arm64
#   package_contents linux x86|x64|armhf|arm64
#   package_contents host-kit-windows x86|x64
#   package_contents host-kit-linux x64
# The host kits are for the session host and host application developers:
# qrnctl, the client library with its header (on Windows also its import
# library for MSVC's linker, lib/qrnclient.lib, which mingw's takes too),
# the modules for Python (qrnclient.py) and C# (QrnClient.cs) beside the
# library, the examples in C, C# and Python, and the stand-in of the
# platform's channel functions in a folder of its own (for development
# machines only). The Linux kit comes from the glibc floor's build.
# A package carries the instrument host of its own architecture; a 64-bit
# one also the 32-bit instrument host and a 32-bit simulated instrument of
# its machine family, so that a 64-bit client can
# run a 32-bit library; the arm64 Windows package carries both the x86 and
# the x64 ones. The Linux packages come from the builds against Debian 11's
# C library (the glibc floor): linux-x64 (not the everyday
# linux preset), linux-x86, linux-armhf, linux-arm64.
package_contents() {
  local platform=$1 arch=$2
  if [ "$platform" = host-kit-windows ]; then
    local preset=windows-$arch standin=wfapi64.dll
    [ "$arch" = x86 ] && standin=wfapi.dll
    printf '%s\t%s\n' qrnctl.exe "$preset:qrnctl.exe" qrnclient.dll "$preset:qrnclient.dll" \
      include/qrnclient.h server/client/include/qrnclient.h lib/qrnclient.lib "$preset:qrnclient.lib" \
      "standin/$standin" "$preset:$standin"
    host_modules
    shipped_docs
    return 0
  fi
  if [ "$platform" = host-kit-linux ]; then
    local preset=linux-$arch
    printf '%s\t%s\n' qrnctl "$preset:qrnctl" libqrnclient.so "$preset:libqrnclient.so" \
      include/qrnclient.h server/client/include/qrnclient.h \
      standin/libwfapi.so "$preset:libwfapi.so"
    host_modules
    shipped_docs
    return 0
  fi
  if [ "$platform" = windows ]; then
    local preset=windows-$arch
    printf '%s\t%s\n' VDQRN.DLL "$preset:VDQRN.DLL" simspectro.dll "$preset:simspectro.dll" \
      engine_sim.exe "$preset:engine_sim.exe"
    # The host of the client's own architecture takes a library whose call
    # was cut short, at the next Init; a 64-bit client's hosts run the
    # libraries of the other architectures Windows runs there (on ARM,
    # x86 and x64 under the system's emulation), with a simulated
    # instrument for each.
    case "$arch" in
      x86) printf '%s\t%s\n' QRNHOST32.EXE windows-x86:QRNHOST32.EXE ;;
      x64)
        printf '%s\t%s\n' QRNHOST64.EXE windows-x64:QRNHOST64.EXE \
          QRNHOST32.EXE windows-x86:QRNHOST32.EXE simspectro32.dll windows-x86:simspectro.dll
        ;;
      arm64)
        printf '%s\t%s\n' QRNHOSTA64.EXE windows-arm64:QRNHOSTA64.EXE \
          QRNHOST32.EXE windows-x86:QRNHOST32.EXE simspectro32.dll windows-x86:simspectro.dll \
          QRNHOST64.EXE windows-x64:QRNHOST64.EXE simspectro64.dll windows-x64:simspectro.dll
        ;;
    esac
  else
    # The host of the client's own architecture (qrnhost64 or qrnhost32),
    # and beside a 64-bit module the 32-bit host of its family.
    local preset=linux-$arch peer=
    case "$arch" in
      x64) peer=linux-x86 ;;
      arm64) peer=linux-armhf ;;
    esac
    printf '%s\t%s\n' VDQRN.DLL "$preset:vdqrn.so" simspectro.so "$preset:simspectro.so" \
      engine_sim "$preset:engine_sim"
    if [ -n "$peer" ]; then
      printf '%s\t%s\n' qrnhost64 "$preset:qrnhost64" qrnhost32 "$peer:qrnhost32" \
        simspectro32.so "$peer:simspectro.so"
    else
      printf '%s\t%s\n' qrnhost32 "$preset:qrnhost32"
    fi
    # The administrator's install script (scripts/linux_packages.sh's packages run it too).
    printf '%s\t%s\n' install.sh installer/linux/install.sh
  fi
  shipped_docs
}

# The client library's modules for Python and C#, in a host kit's root
# beside the library (where qrnclient.py looks for it first).
host_modules() {
  printf '%s\t%s\n' qrnclient.py server/client/python/qrnclient.py \
    QrnClient.cs server/client/csharp/QrnClient.cs
}

# The docs every package holds, and every file their relative links name:
# the host application's examples that protocol.md links to, and the pages
# deployment.md, server.md and performance.md link to
# (scripts/check_packages.sh fails on a link that does not resolve inside a
# package).
shipped_docs() {
  local file
  for file in examples/session.txt examples/host_app.c examples/HostApp.cs examples/host_app.py \
    docs/protocol.md docs/deployment.md docs/server.md docs/performance.md docs/robustness.md; do
    printf '%s\t%s\n' "$file" "$file"
  done
}

# The product's version, as CMakeLists.txt's project() gives it.
product_version() {
  sed -n 's/^project(vdqrn VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt
}

# Copies one package's files (package_contents) from the build root into a
# folder and prints their names; fails when a build is missing one.
#   stage_package windows|linux x86|x64 BUILD_ROOT FOLDER
stage_package() {
  local platform=$1 arch=$2 root=$3 stage=$4 file origin source_file
  while IFS=$'\t' read -r file origin; do
    case "$origin" in
      *:*) source_file="$root/${origin%%:*}/bin/${origin#*:}" ;;
      *) source_file="$origin" ;;
    esac
    if [ ! -f "$source_file" ]; then
      echo "$source_file is missing (build the ${origin%%:*} preset)" >&2
      return 1
    fi
    mkdir -p "$stage/$(dirname "$file")"
    cp "$source_file" "$stage/$file"
    echo "$file"
  done < <(package_contents "$platform" "$arch")
}

# The live processes (ended ones not yet reaped left out) in the PID
# namespace of a process whose environment holds ENTRY: the PID and the
# start of the command line, one a line.
#   processes_holding NAMESPACE_PID ENTRY
processes_holding() {
  local ns process
  ns=$(readlink "/proc/$1/ns/pid") || return 0
  for process in /proc/[0-9]*; do
    [ "$(readlink "$process/ns/pid" 2>/dev/null)" = "$ns" ] || continue
    grep -q '^State:.*Z' "$process/status" 2>/dev/null && continue
    tr '\0' '\n' <"$process/environ" 2>/dev/null | grep -qxF "$2" || continue
    echo "${process#/proc/} $(tr '\0' ' ' <"$process/cmdline" 2>/dev/null | cut -c1-80)"
  done
  return 0
}

# Removes a folder, first unmounting what is still mounted inside it (a
# failed debootstrap's /proc, or /dev nodes bound from this machine).
remove_folder() {
  local folder=$1 mounted
  [ -e "$folder" ] || return 0
  while read -r mounted; do
    umount -l "$mounted" 2>/dev/null || true
  done < <(awk -v top="$folder/" 'index($2, top) == 1 {print $2}' /proc/mounts | sort -r)
  rm -rf "$folder"
}

# A test step's check: runs the command and prints "ok: WHAT" or
# "FAILED: WHAT"; failed ones collect in the array `failures`.
check() {
  local what=$1
  shift
  if "$@"; then
    echo "  ok: $what"
  else
    echo "  FAILED: $what"
    failures+=("$what")
  fi
}

# A static i686 program that exits with 42, built once into the build folder.
probe32="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/probe32/probe"
build_32_bit_probe() {
  [ -x "$probe32" ] && return 0
  local dir=${probe32%/*}
  mkdir -p "$dir"
  printf 'int main(void) { return 42; }\n' >"$dir/probe.c"
  if ! i686-linux-gnu-gcc -static -o "$probe32" "$dir/probe.c" 2>"$dir/err"; then
    echo "cannot build the 32-bit probe: $(head -1 "$dir/err")"
    return 1
  fi
}

# Runs the probe (with any launcher given as arguments); prints why not and
# fails when it does not exit with 42.
run_32_bit_probe() {
  local status=0
  "$@" "$probe32" 2>/dev/null || status=$?
  [ "$status" -eq 42 ] && return 0
  echo "a static 32-bit x86 program does not run here (exit status $status)"
  return 1
}

# The enabled binfmt_misc handlers that take 32-bit x86 programs, one path a line.
binfmt_dir=/proc/sys/fs/binfmt_misc
i386_binfmt_handlers() {
  [ -d "$binfmt_dir" ] || return 0
  local entry magic
  for entry in "$binfmt_dir"/*; do
    case "${entry##*/}" in register | status) continue ;; esac
    [ -f "$entry" ] || continue
    grep -qx enabled "$entry" 2>/dev/null || continue
    magic=$(sed -n 's/^magic //p' "$entry")
    # ELFCLASS32 at byte 4, EM_386 (3) at bytes 18 and 19.
    [ "${magic:0:10}" = 7f454c4601 ] && [ "${magic:36:4}" = 0300 ] && echo "$entry"
  done
  return 0
}

# Whether the kernel itself runs 32-bit x86 programs. A binfmt_misc handler
# (an emulator registered for them) is switched off while the probe runs, so
# that emulation is never taken for the real thing. VDQRN_NO_NATIVE_32BIT=1
# answers no, so that the emulated path can be tried on any machine. Prints
# why not, when it does not.
runs_32_bit_code_natively() {
  if [ -n "${VDQRN_NO_NATIVE_32BIT:-}" ]; then
    echo "VDQRN_NO_NATIVE_32BIT is set"
    return 1
  fi
  build_32_bit_probe || return 1
  local handlers status=0
  mapfile -t handlers < <(i386_binfmt_handlers)
  if [ ${#handlers[@]} -gt 0 ] && [ "$(id -u)" -ne 0 ]; then
    echo "32-bit programs go through a binfmt_misc handler here (${handlers[*]}), which only root can set aside to test the kernel"
    return 1
  fi
  local handler
  for handler in "${handlers[@]}"; do echo 0 >"$handler"; done
  run_32_bit_probe || status=1
  for handler in "${handlers[@]}"; do echo 1 >"$handler"; done
  return $status
}

# Registers an emulator with binfmt_misc for the ELF files that match a
# magic and mask, so that every execve of one runs under it. Root only; the
# registration is removed when the script exits. The magic and mask are
# those Debian's qemu-user-binfmt uses; "F" opens the emulator now, so that
# it works in any mount namespace. Sets binfmt_why and fails when it cannot.
#   register_binfmt NAME MAGIC MASK EMULATOR
binfmt_registered=()
register_binfmt() {
  local name=$1 magic=$2 mask=$3 qemu
  binfmt_why=
  if ! qemu=$(command -v "$4"); then
    binfmt_why="$4 is not installed"
  elif [ "$(id -u)" -ne 0 ]; then
    binfmt_why="registering an emulator with binfmt_misc needs root"
  elif [ ! -e "$binfmt_dir/register" ] &&
    ! mount -t binfmt_misc binfmt_misc "$binfmt_dir" 2>/dev/null; then
    binfmt_why="binfmt_misc cannot be mounted here"
  else
    unregister_binfmt "$name"
    if ! echo ":$name:M::$magic:$mask:$qemu:F" >"$binfmt_dir/register" 2>/dev/null; then
      binfmt_why="binfmt_misc refused the registration"
    else
      binfmt_registered+=("$name")
      at_exit restore_binfmt
      return 0
    fi
  fi
  return 1
}
unregister_binfmt() {
  if [ -e "$binfmt_dir/$1" ]; then
    echo -1 >"$binfmt_dir/$1" 2>/dev/null || true
  fi
  return 0
}
# What the script changed in binfmt_misc, undone when it exits: its own
# registrations removed, the handlers it switched off switched on again.
binfmt_set_aside=()
restore_binfmt() {
  local name handler
  for name in "${binfmt_registered[@]}"; do unregister_binfmt "$name"; done
  for handler in "${binfmt_set_aside[@]}"; do echo 1 >"$handler" 2>/dev/null || true; done
  return 0
}

# Where the kernel runs 32-bit x86 programs, none may go through an
# emulator: 32-bit wine does not start under one (it spins at full speed),
# and a timing under one measures the emulator. A registration of our own
# name is what a killed run left behind, and is removed; another (the
# machine's qemu-user-binfmt) is switched off until the script exits. Says
# what it did.
set_aside_i386_emulators() {
  local handler
  while IFS= read -r handler; do
    if [ "${handler##*/}" = "$binfmt_name" ]; then
      echo "removing the binfmt_misc registration a killed run left behind: $handler"
      unregister_binfmt "$binfmt_name"
    elif echo 0 >"$handler" 2>/dev/null; then
      echo "switching off $handler until this script ends: the kernel runs 32-bit programs itself"
      binfmt_set_aside+=("$handler")
      at_exit restore_binfmt
    fi
  done < <(i386_binfmt_handlers)
  return 0
}

# qemu-i386 for 32-bit x86 programs (a 64-bit module starting the 32-bit
# host included); checked with the probe.
binfmt_name=vdqrn-i386
register_i386_binfmt() {
  register_binfmt "$binfmt_name" \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
    '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' \
    qemu-i386 || return 1
  run_32_bit_probe >/dev/null && return 0
  binfmt_why="the registered emulator does not run the probe"
  unregister_i386_binfmt
  return 1
}
unregister_i386_binfmt() { unregister_binfmt "$binfmt_name"; }

# qemu-arm and qemu-aarch64 for 32- and 64-bit ARM programs, so that an ARM
# program under emulation can start another (the 64-bit ARM module its
# 32-bit host). Each finds its libraries through QEMU_LD_PREFIX. Sets
# binfmt_why and fails when it cannot.
register_arm_binfmt() {
  local mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  register_binfmt vdqrn-arm \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00' "$mask" \
    qemu-arm &&
    register_binfmt vdqrn-aarch64 \
      '\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00' "$mask" \
      qemu-aarch64
}

# Finds out how this machine runs 32-bit x86 Linux programs and sets
#   run32      native   the kernel runs them
#              binfmt   qemu-i386 registered with binfmt_misc: every execve
#                       of one works, the 64-bit module starting the 32-bit
#                       host included
#              emulator qemu-i386 only where ctest starts a test program (the
#                       host tests of the 64-bit suites cannot run)
#              none     not at all
#   run32_why  why not natively (empty when native)
# 32-bit wine runs only where the kernel runs 32-bit code.
arrange_32_bit_code() {
  run32_why=
  if run32_why=$(runs_32_bit_code_natively); then
    run32=native
    set_aside_i386_emulators
    return 0
  fi
  if ! build_32_bit_probe >/dev/null; then
    run32=none
  elif register_i386_binfmt; then
    run32=binfmt
  elif command -v qemu-i386 >/dev/null && run_32_bit_probe qemu-i386 >/dev/null; then
    run32=emulator
    run32_why="$run32_why; no binfmt_misc registration: $binfmt_why"
  else
    run32=none
    run32_why="$run32_why; no emulator: $binfmt_why"
  fi
}

# Whether the output in FILE says that wine failed to start the program at
# all, which it now and then does: "failed to map the shared user data", or
# "wine client error:0: recvmsg: Connection reset by peer" when the prefix's
# server was ending just then. Such a start may be tried again.
wine_failed_to_start() {
  grep -qE 'failed to map the shared user data|^wine client error:' "$1"
}

# Whether 32-bit wine starts in a wine prefix (made when missing); prints
# why not. Wine now and then fails to start at all ("failed to map the shared
# user data"), and is tried again; one that has not ended after five
# minutes (under an emulator it spins) is stopped, and counts as not
# starting.
wine32_starts() {
  local prefix=$1 status tries
  if [ -n "${VDQRN_WINE32_WHY:-}" ]; then
    echo "$VDQRN_WINE32_WHY"
    return 1
  fi
  for tries in 1 2 3; do
    status=0
    WINEPREFIX="$prefix" WINEDEBUG=-all timeout -k 10 300 /usr/lib/wine/wine cmd /c exit 0 \
      >/dev/null 2>&1 || status=$?
    case $status in
      0) return 0 ;;
      124 | 137)
        echo "32-bit wine had not started a program after five minutes"
        return 1
        ;;
    esac
  done
  echo "32-bit wine failed to start a program three times (exit status $status)"
  return 1
}

# How a suite of 32-bit Linux programs runs, in words, for the summary.
describe_32_bit_linux() {
  case "$run32" in
    native) echo "native" ;;
    binfmt) echo "emulated: qemu-i386 through binfmt_misc" ;;
    emulator) echo "emulated: qemu-i386 as ctest's emulator" ;;
    *) echo "cannot run" ;;
  esac
}

# Prints a banner that no one scrolling past can miss.
loud() {
  printf '\n%s\n' "################################################################################"
  printf '### %s\n' "$@"
  printf '%s\n\n' "################################################################################"
}

# Whether a demo conversation's transcript (engine_sim --log --script of
# examples/session.txt, with LIBRARY in its Init) went as it should: Init
# and Measure answered OK, 31 spectral values, and the instrument host of
# the HOSTED architecture started in `host` MODE, none in `in-process`.
# Prints what went wrong and fails. Windows line ends are taken too.
#   demo_transcript_problem TRANSCRIPT LIBRARY MODE HOSTED
demo_transcript_problem() {
  local library=$2 mode=$3 hosted=$4 text
  text=$(tr -d '\r' <"$1")
  if ! grep -A1 -xF "> Init|$library|" <<<"$text" | grep -qxF "< OK"; then
    echo "Init|$library| was not answered OK"
  elif ! grep -A1 -xF "> Measure" <<<"$text" | grep -qxF "< OK|true"; then
    echo "Measure was not answered OK|true"
  elif ! grep -A1 -xF "> GetSpectralDataAll|1|" <<<"$text" | grep -qE '^< OK\|[0-9.]+(;[0-9.]+){30}$'; then
    echo "GetSpectralDataAll did not answer 31 values"
  elif [ "$mode" = host ] && ! grep -qF "Instrument host started ($hosted, process" <<<"$text"; then
    echo "the log shows no $hosted instrument host"
  elif [ "$mode" = host ] && grep -qF "Instrument host failed" <<<"$text"; then
    echo "the instrument host failed"
  elif [ "$mode" != host ] && grep -qF "Instrument host" <<<"$text"; then
    echo "an instrument host ran for the in-process session"
  else
    return 0
  fi
  return 1
}
