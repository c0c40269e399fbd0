#!/usr/bin/env bash
# Tests scripts/wine_arm64.sh as ctest and the test command use it, with a
# session of its own (its own state folder) on the cached arm64 system:
# programs' output, exit status, folders and current directory, the
# caller's environment, the registry kept for a session and thrown away
# after it, a hung program stopped, two programs at once (also starting the
# session at once), nothing left behind by finish; and an archive that fails
# giving a one-line reason and no cache entry. Root only; makes the arm64
# system first when it is not cached (about 15 minutes).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

runner=$PWD/scripts/wine_arm64.sh
work=$(mktemp -d)
export VDQRN_ARM64_STATE="$work/state"
trap '"$runner" finish >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
failures=()

# The machine's binfmt_misc registrations, to compare after the runs.
binfmt_before=$(ls /proc/sys/fs/binfmt_misc | sort)

# PROGRAM ARGS... inside, its output without carriage returns.
arm64() { "$runner" run -- "$@" | tr -d '\r'; }
status_of() {
  local result=0
  "$runner" run "$@" >/dev/null 2>&1 || result=$?
  echo "$result"
}
zombies() {
  local ns process count=0
  ns=$(readlink "/proc/$1/ns/pid")
  for process in /proc/[0-9]*; do
    [ "$(readlink "$process/ns/pid" 2>/dev/null)" = "$ns" ] || continue
    grep -q '^State:.*Z' "$process/status" 2>/dev/null && count=$((count + 1))
  done
  echo $count
}

step "arm64 wine runner: the system"
"$runner" prepare
check "the system describes itself as arm64 wine under qemu-aarch64 with neoverse-n1" \
  sh -c '"$1" describe | grep -q "^under arm64 wine [0-9].* in a Debian 13 arm64 system, qemu-aarch64 [0-9.]*, neoverse-n1$"' sh "$runner"

step "arm64 wine runner: programs"
check "a program's output comes back" [ "$(arm64 cmd /c echo hello arm64)" = "hello arm64" ]
check "a program's exit status comes back" [ "$(status_of -- cmd /c exit 42)" = 42 ]
check "a program that succeeds gives 0" [ "$(status_of -- cmd /c exit 0)" = 0 ]
check "a missing program fails" [ "$(status_of -- "$work/missing.exe")" != 0 ]

mkdir -p "$work/folder with space"
echo "marker text" >"$work/folder with space/marker.txt"
cd "$work/folder with space"
check "the current directory is the caller's, at the same path" \
  [ "$(arm64 cmd /c type marker.txt)" = "marker text" ]
arm64 cmd /c "echo written inside> written.txt" >/dev/null
check "what a program writes in the caller's folder is there afterwards" \
  [ "$(tr -d '\r' <written.txt)" = "written inside" ]
cd - >/dev/null
check "the project's folder is visible at its own path" \
  sh -c '"$1" run -- cmd /c type "Z:$(echo "$2" | tr / \\\\)\\README.md" | grep -q "^# "' sh "$runner" "$PWD"
check "the caller's environment reaches the program" \
  [ "$(VDQRN_PROBE_VALUE=abc123 arm64 cmd /c echo %VDQRN_PROBE_VALUE%)" = abc123 ]
# cmd's echo shows the command line as it came: one quoted argument.
check "an argument with spaces stays one argument" \
  [ "$(arm64 cmd /c echo "a  b")" = '"a  b"' ]

step "arm64 wine runner: the registry"
key='HKCU\Software\VdqrnRunnerTest'
arm64 reg add "$key" /v Value /d kept /f >/dev/null
check "the registry keeps a value between programs of a session" \
  sh -c '"$1" run -- reg query "$2" /v Value | grep -q kept' sh "$runner" "$key"
"$runner" finish
check "a new session starts from the cached system, without the last one's writes" \
  [ "$(status_of -- reg query "$key" /v Value)" != 0 ]
cache=$("$runner" where)
check "the cached system itself was not written to" \
  sh -c '[ -f "$1/user.reg" ] && ! grep -q VdqrnRunnerTest "$1/user.reg"' sh "$cache/root/root/wineprefix"

step "arm64 wine runner: a hung program"
session=$(cat "$VDQRN_ARM64_STATE/pid")
# The hung program and what it starts carry this entry in their environment
# (the caller's environment reaches them); wine's services, started by the
# session, do not, and may come and go.
hung_mark="VDQRN_HUNG_PROGRAM=$$"
hung_status=$(export "${hung_mark?}" && status_of --timeout 5 -- cmd /c "for /L %i in (1,0,2) do @rem")
check "a hung program is stopped after the time-out, with status 124" [ "$hung_status" = 124 ]
left=$(processes_holding "$session" "$hung_mark")
check "nothing of the stopped program runs once run has returned (${left:-none left})" [ -z "$left" ]
for _ in 1 2 3 4 5; do
  [ "$(zombies "$session")" = 0 ] && break
  sleep 1
done
check "ended processes are reaped, not left as zombies" [ "$(zombies "$session")" = 0 ]

step "arm64 wine runner: two at once"
"$runner" finish
first=0 second=0
"$runner" run -- cmd /c exit 3 >/dev/null 2>&1 &
one=$!
"$runner" run -- cmd /c exit 4 >/dev/null 2>&1 &
two=$!
wait $one || first=$?
wait $two || second=$?
check "two programs started at once, with no session yet, both run (3 and 4: $first, $second)" \
  [ "$first $second" = "3 4" ]
session=$(cat "$VDQRN_ARM64_STATE/pid")
check "a later program runs in the same session" \
  [ "$(status_of -- cmd /c exit 5) $(cat "$VDQRN_ARM64_STATE/pid")" = "5 $session" ]

"$runner" finish
# Wine's services, started by a session's first program, must not hold the
# caller's output open (ctest would wait for them for good).
# (Held, the pipe to cat stays open and the time-out stops the lot.)
first_status=0
timeout -k 5 120 sh -c '"$1" run -- cmd /c echo first 2>&1 | tr -d "\r" >"$2"' \
  sh "$runner" "$work/first.txt" </dev/null >/dev/null 2>&1 || first_status=$?
check "a session's first program ends its caller's output when it ends ($first_status)" \
  sh -c '[ "$1" = 0 ] && grep -qx first "$2"' sh "$first_status" "$work/first.txt"
session=$(cat "$VDQRN_ARM64_STATE/pid")

step "arm64 wine runner: finish"
"$runner" finish
check "finish ends every process of the session" [ ! -e "/proc/$session" ]
check "no mount of the session shows on the machine" sh -c '! grep -q "$1" /proc/mounts' sh "$VDQRN_ARM64_STATE"
check "the machine's binfmt_misc registrations are as they were" \
  [ "$(ls /proc/sys/fs/binfmt_misc | sort)" = "$binfmt_before" ]

step "arm64 wine runner: an archive that fails"
said=$(VDQRN_CACHE="$work/cache" VDQRN_ARM64_MIRROR=http://127.0.0.1:9/debian/ "$runner" prepare 2>&1) &&
  prepare_status=0 || prepare_status=$?
check "prepare fails with exit status 2 ($prepare_status)" [ "$prepare_status" = 2 ]
check "its last line gives the reason ($(tail -1 <<<"$said"))" \
  sh -c 'tail -1 <<EOF | grep -q "archive did not give qemu-user"
$1
EOF' sh "$said"
check "no cache entry looks complete" \
  sh -c '! ls -d "$1"/arm64-wine-* 2>/dev/null | grep -v "\.partial$"' sh "$work/cache"
check "run refuses without a system" \
  sh -c '! VDQRN_CACHE="$1" "$2" run -- cmd /c exit 0 2>/dev/null' sh "$work/cache" "$runner"

if [ ${#failures[@]} -gt 0 ]; then
  echo "FAILED: ${failures[*]}"
  exit 1
fi
echo "the arm64 wine runner passed"
