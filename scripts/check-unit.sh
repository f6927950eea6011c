#!/usr/bin/env bash
# Checks the systemd unit contrib/quorva.service with systemd's own tools:
#   1. `systemd-analyze verify` must report nothing at all;
#   2. `systemd-analyze security --offline=true` must rate its exposure at MAX or less
#      (default 2.5, on systemd's scale from 0.0, locked down, to 10.0, unprotected).
# The unit is checked as a copy in a scratch folder. verify wants ExecStart to name an
# executable file: when the unit's server is not installed, the copy names QUORVA_BIN, or
# else build/quorva, or else a stand-in script.
#
# Usage: scripts/check-unit.sh [MAX]
# Exit status: 0 passed, 1 a check failed, 2 systemd-analyze is missing or too old.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
unit=$root/contrib/quorva.service
max=${1:-2.5}

if ! command -v systemd-analyze >/dev/null; then
    echo "check-unit: systemd-analyze not found (package systemd)" >&2
    exit 2
fi
version=$(systemd-analyze --version | awk 'NR == 1 { print $2 }')
if [ "${version:-0}" -lt 252 ] 2>/dev/null; then
    echo "check-unit: systemd $version is too old: security --offline needs 252 or later" >&2
    exit 2
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

installed=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
server=$installed
if [ ! -x "$server" ]; then
    server=${QUORVA_BIN:-$root/build/quorva}
    if [ ! -x "$server" ]; then
        server=$scratch/quorva
        printf '#!/bin/sh\nexit 0\n' > "$server"
        chmod 755 "$server"
    fi
    echo "check-unit: $installed is not installed; the checked copy starts $server"
fi
mkdir "$scratch/unit"
copy=$scratch/unit/quorva.service
sed "s|^ExecStart=$installed |ExecStart=$server |" "$unit" > "$copy"
chmod 644 "$copy"

failed=0

# verify exits 0 after some warnings (an unknown key is ignored), so any line it prints fails.
if ! problems=$(cd "$scratch/unit" && systemd-analyze verify quorva.service 2>&1) || [ -n "$problems" ]; then
    echo "check-unit: systemd-analyze verify reports problems:"
    echo "$problems"
    failed=1
else
    echo "check-unit: systemd-analyze verify: no problems"
fi

report=$(cd "$scratch/unit" && systemd-analyze security --offline=true quorva.service 2>&1) || true
exposure=$(sed -n 's/.*Overall exposure level for quorva\.service: \([0-9][0-9.]*\).*/\1/p' <<< "$report")
if [ -z "$exposure" ]; then
    echo "check-unit: systemd-analyze security printed no exposure level:"
    echo "$report"
    failed=1
elif awk -v e="$exposure" -v m="$max" 'BEGIN { exit !(e > m) }'; then
    echo "check-unit: exposure $exposure is above $max; what is left open:"
    grep '✗' <<< "$report" || true
    failed=1
else
    echo "check-unit: exposure $exposure (at most $max)"
fi

exit $failed
