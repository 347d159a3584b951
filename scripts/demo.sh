#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, and lets pollensift judge the sample messages of
# tests/fixtures/mail on a throwaway local POP3 server, in test mode: nothing is deleted.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-deps.sh
scripts/build.sh build/release

work=$(mktemp -d /tmp/pollensift-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT

deliveries=()
for message in tests/fixtures/mail/*.eml; do
  deliveries+=(--deliver "jo:$message")
done

# The server lives exactly as long as the command below; dovecot.py stops it by its PID.
export POLLENSIFT_DEMO_WORK=$work POLLENSIFT_DEMO_ROOT=$root
python3 tests/e2e/dovecot.py run --user jo:demo-password "${deliveries[@]}" -- bash -c '
  sed -e "s|@LOG@|$POLLENSIFT_DEMO_WORK/pollensift.log|" -e "s|@PORT@|$DOVECOT_PORT|" \
    "$POLLENSIFT_DEMO_ROOT/tests/fixtures/demo.pollensiftrc" >"$POLLENSIFT_DEMO_WORK/pollensiftrc"
  chmod 600 "$POLLENSIFT_DEMO_WORK/pollensiftrc"  # it holds a password
  "$POLLENSIFT_DEMO_ROOT/build/release/src/driver/pollensift" -M "$POLLENSIFT_DEMO_WORK/pollensiftrc"
'
