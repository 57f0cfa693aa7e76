#!/usr/bin/env bash
# The demo: builds everything and says what the upgrade demo on the simulated router does.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
cat <<'TXT'

Built. The demo will make a sample upgrade file, create a simulated router whose root file
system is too full for the upgrade, run the upgrader in it and print the upgrade log with a
summary (exit status, free space before and after, what the cleanup removed, the validator's
verdict, the reboot command). It arrives with the simulator and the driver.
TXT
