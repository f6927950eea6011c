#!/usr/bin/env bash
# Prints the folder that holds the husky tools (the tosser hpt and its helpers sqpack,
# txt2pkt, pktinfo), the test peers of the hpt interoperability tests. The build, the
# tests and CI all find them through this script. Looked for, in this order:
#   1. HUSKY_BIN_DIR, when set (it must then hold hpt);
#   2. shared/tools/husky/bin in each parent folder of the project root, nearest first;
#   3. shared/tools/husky/bin beside the repository this checkout was cloned from, when
#      its origin is a local path or a file:// URL.
# Exits with status 1 and a reason on standard error when hpt is in none of them.
#
# Usage: hpt_husky_dir.sh [PROJECT_ROOT]   (default: the checkout that holds this script)
set -euo pipefail

root=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
root=$(cd "$root" && pwd)
relative=shared/tools/husky/bin

holds_hpt() { [ -x "$1/hpt" ] && [ ! -d "$1/hpt" ]; }

if [ -n "${HUSKY_BIN_DIR:-}" ]; then
    if holds_hpt "$HUSKY_BIN_DIR"; then
        (cd "$HUSKY_BIN_DIR" && pwd)
        exit 0
    fi
    echo "HUSKY_BIN_DIR=$HUSKY_BIN_DIR holds no executable hpt" >&2
    exit 1
fi

dir=$root
while [ "$dir" != / ]; do
    dir=$(dirname "$dir")
    if holds_hpt "${dir%/}/$relative"; then
        echo "${dir%/}/$relative"
        exit 0
    fi
done

# The origin repository, when it lies on this machine: a path, relative to the checkout
# or absolute, or a file:// URL. Other URLs (host:path, ssh://, https://) are skipped.
origin=$(git -C "$root" remote get-url origin 2>/dev/null || true)
case "$origin" in
    file://*) origin=${origin#file://} ;;
    *://* | *:*) origin= ;;
esac
if [ -n "$origin" ]; then
    case "$origin" in
        /*) ;;
        *) origin=$root/$origin ;;
    esac
    origin=${origin%/}
    # The repository is the folder that holds .git (or the bare repository itself).
    [ "$(basename "$origin")" = .git ] && origin=$(dirname "$origin")
    if [ -d "$origin" ]; then
        beside=$(cd "$(dirname "$origin")" && pwd)
        if holds_hpt "${beside%/}/$relative"; then
            echo "${beside%/}/$relative"
            exit 0
        fi
    fi
fi

echo "hpt not found in $relative beside $root or its parent folders${origin:+, nor beside $origin}; set HUSKY_BIN_DIR to the folder of the husky tools" >&2
exit 1
