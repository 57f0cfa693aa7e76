#!/usr/bin/env bash
# The router as a real Linux system: the stripped armel-static upgrader of the router package on
# an emulated ARM machine (qemu-system-arm, Debian's armmp kernel), with the 2.6.35 system-call
# surface, real watchdog resets, a real page cache and real power cuts. What it runs and checks:
# tests/system/system_test.sh and README.md ("The router as a real system").
set -euo pipefail
cd "$(dirname "$0")/../.."
exec bash tests/system/system_test.sh
