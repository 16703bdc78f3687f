#!/usr/bin/env bash
# The main job on a virtual X display: starts a desktop (Xvfb + openbox), opens
# our target application and runs input-courier against it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" >/dev/null
exec build/default/bin/quorl-demo "$@"
