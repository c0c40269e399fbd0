#!/usr/bin/env bash
# Plays the demo conversation (examples/session.txt) from the unpacked arm64
# Windows zip under arm64 wine (scripts/wine_arm64.sh): engine_sim.exe loads
# the package's VDQRN.DLL, which runs the package's arm64 simulated
# instrument in process. The proof that the shipped arm64 binaries work
# together, as an administrator would try them from the zip.
#
#   scripts/arm64_demo.sh BUILD_ROOT
#
# The arm64 system must be prepared (scripts/wine_arm64.sh prepare).
# Prints the transcript and the driver's log into
# BUILD_ROOT/arm64-demo/transcript.txt; exits 0 when the conversation went
# as it should, 1 when not (saying why), 2 when it cannot run here.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
root=$(cd "${1:?usage: scripts/arm64_demo.sh BUILD_ROOT}" && pwd)
zip="$root/packages/vdqrn-windows-arm64.zip"
folder="$root/arm64-demo/unpacked"
transcript="$root/arm64-demo/transcript.txt"
failed() {
  echo "$* (transcript: $transcript)"
  exit 1
}
[ -f "$zip" ] || failed "$zip is missing (run scripts/package.sh)"
rm -rf "$folder"
mkdir -p "$folder"
(cd "$folder" && cmake -E tar xf "$zip")
status=0
runner="$PWD/scripts/wine_arm64.sh"
(cd "$folder" && "$runner" run -- engine_sim.exe --log --script examples/session.txt) \
  >"$transcript" 2>&1 || status=$?
[ "$status" -eq 0 ] || failed "engine_sim.exe ended with exit status $status: $(tail -3 "$transcript" | tr -d '\r' | tr '\n' ' ')"
said=$(demo_transcript_problem "$transcript" simspectro in-process "") || failed "$said"
echo "the demo conversation ran as it should from the arm64 zip"
