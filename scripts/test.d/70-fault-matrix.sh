#!/usr/bin/env bash
# The interruption matrix: the host build's upgrader on simulated routers, killed or cut off from
# power at every shell command of a whole run and at a sample of its system calls, and failed with
# ENOSPC and EIO on each kind of write, read, rename and unlink; after each, the next upgrade must
# succeed and leave nothing behind. The run's phases, the table's rows, are the golden run's
# (tests/golden/e7_run.txt). The table it prints must be README.md's "What an interruption
# leaves" (regenerate it with --update after a change in what a run does).
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --preset release >/dev/null
cmake --build --preset release --target driver_fault_matrix
build/release/tests/driver/driver_fault_matrix --readme README.md
