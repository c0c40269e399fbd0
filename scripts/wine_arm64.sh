#!/usr/bin/env bash
# Runs arm64 Windows programs on this x86-64 machine: Debian 13's arm64 wine
# in a Debian 13 arm64 system, under Debian 13's static qemu-aarch64 with the
# neoverse-n1 CPU model. Root only.
#
#   scripts/wine_arm64.sh prepare
#   scripts/wine_arm64.sh run [--timeout SECONDS] -- PROGRAM ARGS...
#   scripts/wine_arm64.sh finish
#   scripts/wine_arm64.sh describe | where
#
# prepare makes the system once (about 15 minutes) and keeps it in
# ${VDQRN_CACHE:-/var/cache/vdqrn}/arm64-wine-KEY/, KEY being a hash of the
# code below that makes it and of what it downloads (suite, mirror,
# packages); then starts a session: a user and mount namespace of its own in
# which the emulator is registered with binfmt_misc (only programs of that
# namespace see it: the machine's own registrations stay as they are), the
# cached system is mounted read-only under a throw-away layer, and a
# persistent wineserver runs. run starts a program in that session (starting
# the session itself when the system is cached), with the caller's folders
# at the same absolute paths inside and the same current directory; it
# returns the program's exit status, 124 when it was stopped after the
# time-out (VDQRN_ARM64_TIMEOUT, 600 s by default), and then only once
# every process it started has ended. finish ends the session:
# every process in it, its mounts, its registration and its layer go.
# describe prints how programs run, for a summary; where, the cache's folder.
#
# Exit status of prepare: 0 ready, 2 the system or wine cannot be had here
# (the reason on one line), 1 any other failure.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/scripts/lib.sh"

suite=trixie
mirror=${VDQRN_ARM64_MIRROR:-http://deb.debian.org/debian/}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# What is installed into the system, and the emulator's package.
system_packages=(wine)
emulator_package=qemu-user
cpu_model=neoverse-n1
prefix_inside=/root/wineprefix
cache_root=${VDQRN_CACHE:-/var/cache/vdqrn}
run_timeout=${VDQRN_ARM64_TIMEOUT:-600}
arm64_magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
arm64_mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

cannot() {
  echo "$*" >&2
  exit 2
}

# The environment every program inside starts with.
inside_env=(PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root LANG=C.UTF-8
  "WINEPREFIX=$prefix_inside" WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d
  "QEMU_CPU=$cpu_model")

# ---------------------------------------------------------------- namespaces

# The first process of a namespace: it reaps the processes that end there
# (wine's are orphaned on purpose).
reaper='
import os, time
while True:
    try:
        os.wait()
    except ChildProcessError:
        time.sleep(1)'

# Starts a user, mount and PID namespace that maps every user to itself (so
# that packages own their files as on any system) and prints the PID of its
# first process. Its /proc is its own; nothing mounted inside shows on the
# machine, and all of it ends when that process is killed (end_namespace).
start_namespace() {
  local handshake
  handshake=$(mktemp -d)
  # The map is written from outside once the namespace exists; the PID
  # namespace is made only after that, so that it may mount its /proc.
  setsid unshare --user --mount --propagation private sh -c '
    echo $$ >"$1/outer"
    while [ -z "$(cat /proc/self/uid_map)" ]; do sleep 0.05; done
    exec unshare --pid --fork --mount-proc --kill-child python3 -c "$2"' sh "$handshake" "$reaper" \
    </dev/null >/dev/null 2>&1 8>&- 9>&- &
  local outer= first= tries=0
  while [ -z "$outer" ] && [ $tries -lt 600 ]; do
    sleep 0.05
    tries=$((tries + 1))
    [ -s "$handshake/outer" ] && read -r outer <"$handshake/outer"
  done
  rm -rf "$handshake"
  [ -n "$outer" ] || return 1
  tries=0
  while [ "$(readlink "/proc/$outer/ns/user")" = "$(readlink /proc/self/ns/user)" ]; do
    [ $tries -lt 600 ] || {
      kill -KILL "$outer" 2>/dev/null
      return 1
    }
    sleep 0.05
    tries=$((tries + 1))
  done
  echo '0 0 4294967295' >"/proc/$outer/uid_map"
  echo '0 0 4294967295' >"/proc/$outer/gid_map"
  # The first process of the new PID namespace (not one of the shell's
  # waiting loop) mounts its /proc, then becomes the reaper.
  tries=0
  while [ $tries -lt 600 ]; do
    sleep 0.05
    tries=$((tries + 1))
    first=$(cat "/proc/$outer/task/$outer/children" 2>/dev/null) || continue
    first=${first%% *}
    [ -n "$first" ] || continue
    [ "$(readlink "/proc/$first/ns/pid")" != "$(readlink /proc/self/ns/pid)" ] &&
      [ "$(cat "/proc/$first/comm" 2>/dev/null)" = python3 ] && echo "$first" && return 0
  done
  kill -KILL "$outer" 2>/dev/null
  return 1
}

# Runs a command in the namespace whose first process is PID.
in_namespace() {
  local pid=$1
  shift
  nsenter -t "$pid" -U -m -p "$@"
}

# Kills a namespace: its first process ends, and with it every other one.
end_namespace() {
  local pid=$1 outer
  outer=$(awk '/^PPid:/ {print $2}' "/proc/$pid/status" 2>/dev/null) || outer=
  kill -KILL "$pid" 2>/dev/null || true
  [ -n "$outer" ] && kill -KILL "$outer" 2>/dev/null || true
  local tries=0
  while [ -e "/proc/$pid" ] && [ $tries -lt 100 ]; do
    sleep 0.05
    tries=$((tries + 1))
  done
}

# Inside the namespace: binfmt_misc of its own with the emulator registered
# ("F": the emulator is opened now, so it runs inside the system's root),
# and the system's /proc and /dev.
#   setup_system_mounts PID EMULATOR ROOT
setup_system_mounts() {
  in_namespace "$1" sh -c '
    set -e
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    echo ":vdqrn-arm64-win:M::$3:$4:$1:F" >/proc/sys/fs/binfmt_misc/register
    mount --rbind /proc "$2/proc"
    mount --rbind /dev "$2/dev"' sh "$2" "$3" "$arm64_magic" "$arm64_mask"
}

# Runs a command as root inside the system, in the namespace.
#   in_system PID ROOT COMMAND...
in_system() {
  local pid=$1 root=$2
  shift 2
  in_namespace "$pid" chroot "$root" /usr/bin/env -i "${inside_env[@]}" "$@"
}

# ------------------------------------------------------------------- the cache

# Extracts the static qemu-aarch64 from the suite's qemu-user package into
# FOLDER, with apt lists and configuration of its own: the machine's
# sources and packages are left as they are.
fetch_emulator() {
  local folder=$1 apt=$1/apt
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$apt/deb"
  : >"$apt/status"
  echo "deb [signed-by=$keyring] $mirror $suite main" >"$apt/sources.list"
  local options=(-q -o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
    -o "Dir::Etc::PreferencesParts=$apt/parts" -o "Dir::Etc::Preferences=$apt/parts/none"
    -o "Dir::State::Lists=$apt/lists" -o "Dir::State::Status=$apt/status"
    -o "Dir::Cache=$apt/cache" -o APT::Architecture=amd64 -o APT::Architectures::=amd64
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  apt-get "${options[@]}" update >"$folder/apt.log" 2>&1 &&
    (cd "$apt/deb" && apt-get "${options[@]}" download "$emulator_package") >>"$folder/apt.log" 2>&1 || {
    echo "the $suite archive did not give $emulator_package: $(grep -E '^(E|W):' "$folder/apt.log" | head -1)"
    return 1
  }
  dpkg-deb -x "$apt/deb/"*.deb "$apt/unpacked"
  cp "$apt/unpacked/usr/bin/qemu-aarch64" "$folder/qemu-aarch64"
  "$folder/qemu-aarch64" --version | head -1 >"$folder/qemu-version"
  rm -rf "$apt"
}

# Makes the arm64 system in FOLDER/root: debootstrap's first stage here, its
# second stage and wine's installation under the emulator, then a wine
# prefix initialised. Logs go to FOLDER/*.log.
build_system() {
  local folder=$1 root=$1/root pid status=0
  debootstrap --foreign --arch=arm64 --variant=minbase --keyring="$keyring" \
    "$suite" "$root" "$mirror" >"$folder/debootstrap.log" 2>&1 || {
    echo "debootstrap of $suite arm64 failed: $(grep -E '^E:' "$folder/debootstrap.log" | head -1)"
    return 1
  }
  pid=$(start_namespace) || {
    echo "no user namespace of our own could be made"
    return 1
  }
  if ! setup_system_mounts "$pid" "$folder/qemu-aarch64" "$root" 2>"$folder/mounts.log"; then
    end_namespace "$pid"
    echo "binfmt_misc of a namespace of its own is not available here (Linux 6.7 or newer): $(head -1 "$folder/mounts.log")"
    return 1
  fi
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  finish_system "$pid" "$folder" || status=1
  end_namespace "$pid"
  return $status
}

# The steps of build_system that run under the emulator.
finish_system() {
  local pid=$1 folder=$2 root=$2/root
  # As in a container: devices cannot be made in a user namespace (the
  # machine's /dev is there), and debootstrap need not try.
  in_system "$pid" "$root" container=lxc /debootstrap/debootstrap --second-stage >"$folder/second-stage.log" 2>&1 || {
    echo "debootstrap's second stage under qemu-aarch64 failed: $(tail -1 "$folder/second-stage.log")"
    return 1
  }
  # debootstrap unmounts the /proc it found on leaving; wine needs one.
  in_namespace "$pid" sh -c 'mountpoint -q "$1/proc" || mount --rbind /proc "$1/proc"' sh "$root"
  in_system "$pid" "$root" sh -c "apt-get update -q &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends ${system_packages[*]} &&
    apt-get clean" >"$folder/packages.log" 2>&1 || {
    echo "${system_packages[*]} could not be installed in the $suite arm64 system: $(grep -E '^E:' "$folder/packages.log" | head -1)"
    return 1
  }
  in_system "$pid" "$root" sh -c "timeout -k 10 900 wine wineboot --init &&
    timeout -k 10 300 wineserver -w && test -f $prefix_inside/system.reg" >"$folder/wineboot.log" 2>&1 || {
    echo "wineboot --init failed under qemu-aarch64: $(grep -v XDG_RUNTIME_DIR "$folder/wineboot.log" | tail -1)"
    return 1
  }
  in_system "$pid" "$root" dpkg-query -W -f='${Version}' wine >"$folder/wine-version"
  rm -rf "$root/var/lib/apt/lists/"* "$root/tmp/"* "$root/tmp/".[!.]* 2>/dev/null || true
}

# The cache's key: the code that makes the system and what it downloads.
cache_key() {
  {
    declare -f fetch_emulator build_system finish_system setup_system_mounts in_system
    echo "$suite $mirror ${system_packages[*]} $emulator_package $prefix_inside ${inside_env[*]}"
  } | sha256sum | cut -c1-16
}
cache="$cache_root/arm64-wine-$(cache_key)"
# One session per project folder and system, so that a session that ends
# or starts afresh takes no other checkout's programs with it.
state=${VDQRN_ARM64_STATE:-/run/vdqrn-arm64-win/$(echo "$here $cache" | sha256sum | cut -c1-16)}

# Makes the cache entry unless it is there. An entry is complete only once
# renamed to its final name; a build that failed or was cut short leaves a
# .partial folder that the next build removes. Sets made_in (seconds) when it
# built one.
made_in=
ensure_cache() {
  [ -f "$cache/complete" ] && return 0
  [ "$(id -u)" -eq 0 ] || cannot "making the arm64 system needs root"
  local tool
  for tool in debootstrap unshare nsenter dpkg-deb apt-get; do
    command -v "$tool" >/dev/null || cannot "$tool is not installed"
  done
  [ -f "$keyring" ] || cannot "$keyring is missing (package debian-archive-keyring)"
  mkdir -p "$cache_root"
  exec 8>"$cache_root/arm64-wine.lock"
  flock 8
  [ -f "$cache/complete" ] && return 0
  local start=$SECONDS partial="$cache.partial" old why
  for old in "$cache_root"/arm64-wine-*.partial; do remove_folder "$old"; done
  mkdir -p "$partial"
  step "arm64 wine: making the Debian 13 arm64 system (once; kept in $cache)" >&2
  if ! why=$(fetch_emulator "$partial") || ! why=$(build_system "$partial"); then
    cannot "$why (logs in $partial)"
  fi
  made_in=$((SECONDS - start))
  echo "$made_in" >"$partial/made-in-seconds"
  touch "$partial/complete"
  mv "$partial" "$cache"
  exec 8>&-
}

# ------------------------------------------------------------------ sessions

# The session's first process, when it is alive and of this cache.
session_pid() {
  local pid key
  { read -r pid <"$state/pid" && read -r key <"$state/cache"; } 2>/dev/null || return 1
  [ "$key" = "$cache" ] && [ -e "/proc/$pid" ] &&
    [ "$(readlink "/proc/$pid/ns/user")" != "$(readlink /proc/self/ns/user)" ]
}

# Ends the session in the state folder, whatever is left of it.
stop_session() {
  local pid
  if { read -r pid <"$state/pid"; } 2>/dev/null && [ -e "/proc/$pid" ]; then
    end_namespace "$pid"
  fi
  rm -rf "$state/pid" "$state/cache" "$state/shared" "$state/layer"
}

# Starts the session: the namespace, the cached system read-only under a
# throw-away layer (what programs write goes there, and goes with it), the
# persistent wineserver. Call with the state lock held.
start_session() {
  stop_session
  mkdir -p "$state/layer/upper" "$state/layer/work" "$state/root"
  local pid
  pid=$(start_namespace) || {
    echo "no user namespace of our own could be made" >&2
    return 1
  }
  echo "$pid" >"$state/pid"
  in_namespace "$pid" mount -t overlay overlay \
    -o "lowerdir=$cache/root,upperdir=$state/layer/upper,workdir=$state/layer/work,userxattr" \
    "$state/root" &&
    setup_system_mounts "$pid" "$cache/qemu-aarch64" "$state/root" || {
    stop_session
    return 1
  }
  : >"$state/shared"
  echo "$cache" >"$state/cache"
  # The first program of a wine session starts wine's services, which live
  # on with its standard output and error: here they get none, so that they
  # do not hold a later caller's pipes (ctest's) open.
  in_system "$pid" "$state/root" wineserver -p >/dev/null 2>&1 </dev/null 8>&- 9>&-
  in_system "$pid" "$state/root" timeout -k 10 600 wine cmd /c exit 0 >/dev/null 2>&1 </dev/null 8>&- 9>&-
}

# Makes FOLDER visible inside at the same path, unless it is already (it or
# a folder above it). Call with the state lock held.
share_folder() {
  local folder=$1 shared
  while read -r shared; do
    case "$folder/" in "$shared"/*) return 0 ;; esac
  done <"$state/shared"
  in_namespace "$(cat "$state/pid")" sh -c 'mkdir -p "$2$1" && mount --rbind "$1" "$2$1"' \
    sh "$folder" "$state/root"
  echo "$folder" >>"$state/shared"
}

# The caller's environment to pass on, less what the system sets itself or
# what means something else inside.
passed_environment() {
  local entry name
  while IFS= read -r -d '' entry; do
    name=${entry%%=*}
    case "$name" in
      PATH | HOME | PWD | OLDPWD | SHLVL | _ | TMPDIR | LANG | LC_* | LD_* | WINE* | QEMU_* | \
        BASH_FUNC_* | DISPLAY | XDG_* | TERM) ;;
      *) printf '%s\0' "$entry" ;;
    esac
  done < <(env -0)
}

run_program() {
  local timeout_seconds=$run_timeout
  while [ $# -gt 0 ]; do
    case "$1" in
      --timeout)
        timeout_seconds=$2
        shift 2
        ;;
      --)
        shift
        break
        ;;
      *) break ;;
    esac
  done
  [ $# -gt 0 ] || {
    echo "usage: $0 run [--timeout SECONDS] -- PROGRAM ARGS..." >&2
    return 1
  }
  [ -f "$cache/complete" ] || {
    echo "the arm64 system is not made yet: run $0 prepare" >&2
    return 1
  }
  local folders=("$here" "$PWD") program=$1
  case "$program" in */*) folders+=("$(cd "$(dirname "$program")" && pwd)") ;; esac
  mkdir -p "$state"
  (
    flock 9
    session_pid || start_session
    for folder in "${folders[@]}"; do share_folder "$folder"; done
  ) 9>"$state/lock" || {
    echo "the arm64 wine session could not be started" >&2
    return 1
  }
  local pid environment=() status=0
  read -r pid <"$state/pid"
  mapfile -d '' environment < <(passed_environment)
  # Every process of this run carries its mark (wine hands its environment
  # on to the processes a program starts); wine's services, started by the
  # session, do not.
  local mark="VDQRN_ARM64_RUN=$$.$RANDOM.$SECONDS"
  # timeout's signals reach the whole group: nsenter, wine and the
  # processes it started.
  timeout -k 10 "$timeout_seconds" nsenter -t "$pid" -U -m -p \
    chroot "$state/root" /usr/bin/env -i "${environment[@]}" "${inside_env[@]}" "$mark" \
    /bin/sh -c 'cd "$1" && shift && exec wine "$@"' sh "$PWD" "$@" || status=$?
  # A program stopped after the time-out is gone when run returns, however
  # long the emulated processes take to end on a busy machine.
  case $status in 124 | 137) end_marked "$pid" "$mark" ;; esac
  return $status
}

# Kills what is left of a run and waits until it has ended (at most two
# minutes; then says what still runs).
#   end_marked SESSION_PID ENTRY
end_marked() {
  local left _
  for _ in $(seq 240); do
    left=$(processes_holding "$@" | cut -d' ' -f1)
    [ -z "$left" ] && return 0
    # shellcheck disable=SC2086
    kill -KILL $left 2>/dev/null || true
    sleep 0.5
  done
  echo "wine_arm64: still running after the program was stopped: $(processes_holding "$@" | paste -sd ';')" >&2
}

describe() {
  [ -f "$cache/complete" ] || {
    echo "the arm64 system is not made yet"
    return 1
  }
  echo "under arm64 wine $(sed 's/[~+-].*//' "$cache/wine-version") in a Debian 13 arm64 system, $(sed 's/ version / /; s/ (.*//' "$cache/qemu-version"), $cpu_model"
}

case "${1:-}" in
  prepare)
    ensure_cache
    mkdir -p "$state"
    (
      flock 9
      session_pid || start_session
    ) 9>"$state/lock" || cannot "the arm64 wine session could not be started"
    status=0
    run_program --timeout 300 -- cmd /c exit 7 >"$state/check.log" 2>&1 </dev/null || status=$?
    [ $status -eq 7 ] || cannot "arm64 wine does not run a program (cmd /c exit 7 gave $status: $(tail -1 "$state/check.log"))"
    if [ -n "$made_in" ]; then
      echo "made in ${made_in} s and kept in $cache; $(describe)"
    else
      echo "cached in $cache; $(describe)"
    fi
    ;;
  run)
    shift
    run_program "$@"
    ;;
  finish)
    mkdir -p "$state"
    (
      flock 9
      stop_session
    ) 9>"$state/lock"
    ;;
  describe) describe ;;
  where) echo "$cache" ;;
  *)
    echo "usage: $0 prepare | run [--timeout SECONDS] -- PROGRAM ARGS... | finish | describe | where" >&2
    exit 1
    ;;
esac
