#!/usr/bin/env bash
# Installs what is missing, builds, and runs pollensift against a throwaway local server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-deps.sh
scripts/build.sh build/release

work=$(mktemp -d /tmp/pollensift-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
cat >"$work/pollensiftrc" <<RC
LOGFILE = "$work/pollensift.log"
VERBOSE = 4
RC
build/release/src/driver/pollensift -M "$work/pollensiftrc" -t
