#!/usr/bin/env bash
# Wall time from process start to exit of nyxctl and nyxcli against nyx-sim, measured in one
# run: nyxctl get / set channel_count=16 beside nyxcli -version -exit / -channelcount=16 -exit.
# Runs itself in a private network namespace (port 8899).
#   bench/walltime.sh [BUILD_DIR] [RUNS]      (defaults: build, 30)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-30}
if [ -z "${NYX_WALLTIME_NETNS:-}" ]; then
    exec env NYX_WALLTIME_NETNS=1 tools/netns-run "$0" "$@"
fi
sim=$build/sim/nyx-sim ctl=$build/ctl/nyxctl cli=$build/cli/nyxcli
for program in "$sim" "$ctl" "$cli"; do
    [ -x "$program" ] || { echo "no $program: build it first" >&2; exit 1; }
done
# nyxcli -exit ends without a disconnect: room for every run's client.
"$sim" --max-clients 1000 </dev/null >/dev/null 2>&1 &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null' EXIT
sleep 0.3

# Prints "median min max" in milliseconds of `runs` runs of the command.
measure() {
    local times=() start end
    for ((i = 0; i < runs; i++)); do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1 || true
        end=$(date +%s%N)
        times+=($(((end - start) / 1000)))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 }
        END { printf "%7.1f %7.1f %7.1f\n", t[int((NR + 1) / 2)] / 1000, t[1] / 1000, t[NR] / 1000 }'
}

printf '%-40s %7s %7s %7s  (ms, %d runs each)\n' command median min max "$runs"
# What starting any process costs on this machine at the moment.
printf '%-40s %s\n' "/bin/true" "$(measure /bin/true)"
for name in "nyxctl get" "nyxctl set channel_count=16" "nyxcli -version -exit" \
    "nyxcli -channelcount=16 -exit"; do
    read -r program args <<<"$name"
    bin=$ctl
    [ "$program" = nyxcli ] && bin=$cli
    # shellcheck disable=SC2086
    printf '%-40s %s\n' "$name" "$(measure "$bin" $args)"
done
