#!/usr/bin/env bash
# Tries nyxcli against the simulated manager: builds what is missing, starts nyx-sim in the
# background on 127.0.0.1:8899, runs nyxcli with the given commands, and stops the simulator
# when nyxcli ends. NYX_SIM_ARGS passes options to nyx-sim (e.g. "--state sim/example-state.conf").
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -x build/cli/nyxcli ] || [ ! -x build/sim/nyx-sim ]; then
    bash tools/install-deps.sh
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build --target nyxcli nyx-sim >/dev/null
fi

# shellcheck disable=SC2086
build/sim/nyx-sim ${NYX_SIM_ARGS:-} </dev/null &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
# Ctrl+C reaches nyxcli, which tears down cleanly; the trap then stops the simulator.
set +e
build/cli/nyxcli "$@"
