#!/bin/sh
# `tessaline status --json` with a running copy (answered over its socket) and without
# one (one helper run), against the helper fixture alone. Runs under its own X server.
#   bench/cli/status.sh [BUILD_DIR] [RUNS]
set -eu
build=$(readlink -f "${1:-build}")
runs=${2:-50}
here=$(dirname "$(readlink -f "$0")")
helper=$(readlink -f "$here/../../tests/fixtures/helpers/helper.sh")
scratch=$(mktemp -d /tmp/tess.XXXXXX)
trap 'kill "$copy" 2>/dev/null || true; rm -rf "$scratch"' EXIT
export XDG_RUNTIME_DIR="$scratch/run" HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config"
export QUORVEL_EXECUTABLE="$helper" QT_QPA_PLATFORM=offscreen
mkdir -m 700 "$XDG_RUNTIME_DIR" "$HOME"

# Median wall time in milliseconds of RUNS runs of the command.
median() {
    i=0
    while [ "$i" -lt "$runs" ]; do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        echo $(((end - start) / 1000))
        i=$((i + 1))
    done | sort -n | awk '{ a[NR] = $1 } END { printf "%.1f ms\n", a[int((NR + 1) / 2)] / 1000 }'
}

printf 'helper alone:                    '; median "$helper"
printf 'status --json, no running copy:  '; median "$build/bin/tessaline" status --json
"$build/bin/tessaline" >/dev/null 2>&1 &
copy=$!
# Without a helper, status succeeds only from the running copy's reading: wait for it.
tries=0
until env QUORVEL_EXECUTABLE=/nonexistent "$build/bin/tessaline" status --json >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || { echo "the running copy never answered" >&2; exit 1; }
    sleep 0.1
done
printf 'status --json, running copy:     '; median env QUORVEL_EXECUTABLE=/nonexistent "$build/bin/tessaline" status --json
