#!/bin/sh
# Idle cost of the running program: after the window is up and the quota read, how often
# does the process wake up during IDLE_SECONDS (default 60) of nothing happening, and how
# much memory does it hold? Wake-ups are the context switches of all its threads, from
# /proc; the system calls made meanwhile are counted by strace in a second window of the
# same length. Runs on its own X server with a tray; the helper answers from a fixture.
#   ./bench/app/idle-wakeups.sh [build-dir]
set -eu
cd "$(dirname "$0")/../.."
build=$(readlink -f "${1:-build}")
idle=${IDLE_SECONDS:-60}
program="$build/bin/tessaline"
[ -x "$program" ] || { echo "no $program: build first" >&2; exit 1; }

if [ -z "${TESSALINE_BENCH_INNER-}" ]; then
    TESSALINE_BENCH_INNER=1 exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$0" "$build"
fi

scratch=$(mktemp -d)
chmod 700 "$scratch"
trap 'kill $app $tray 2>/dev/null || true; rm -rf "$scratch"' EXIT
export HOME="$scratch" XDG_RUNTIME_DIR="$scratch" XDG_CONFIG_HOME="$scratch/.config"
export QUORVEL_EXECUTABLE="$(pwd)/tests/app/fixtures/counting-quorvel.sh" FIXTURE_LOG="$scratch/runs"

trayer --edge top --align right --widthtype request --height 24 --SetDockType false &
tray=$!
"$program" &
app=$!

timeout 30 xdotool search --sync --onlyvisible --name '^Tessaline$' >/dev/null
# Let the first quota read and the tray embedding finish before measuring.
while [ ! -s "$scratch/runs" ]; do sleep 0.1; done
sleep 3

switches() {
    cat /proc/"$app"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { n += $2 } END { print n }'
}

# First window under strace, which sees every thread, including any that ends meanwhile.
threads_start=$(ls /proc/"$app"/task | wc -l)
strace -f -c -p "$app" -o "$scratch/strace" 2>/dev/null &
tracer=$!
sleep "$idle"
kill -INT "$tracer"
wait "$tracer" 2>/dev/null || true
calls=$(awk '$NF == "total" { print $(NF-2) }' "$scratch/strace")

# Second window untraced: wake-ups of the threads that remain, from the scheduler's counts.
threads=$(ls /proc/"$app"/task | wc -l)
before=$(switches)
sleep "$idle"
after=$(switches)
threads_end=$(ls /proc/"$app"/task | wc -l)
rss=$(awk '/VmRSS/ { print $2 }' /proc/"$app"/status)

echo "threads at start / after first window / end: $threads_start / $threads / $threads_end"
echo "system calls in first ${idle} s (strace):    ${calls:-0}"
echo "context switches in second ${idle} s:        $((after - before))"
echo "quota reads:                              $(wc -l < "$scratch/runs")"
echo "resident memory:                          $((rss / 1024)) MiB"
echo "--- strace -c"
cat "$scratch/strace"
