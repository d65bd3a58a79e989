#!/usr/bin/env bash
# One default vek-cli job under callgrind: the instructions vek-cli itself
# executes (every thread, libraries included) for backup, download and restore
# of the default ZX2180 image set at the module's real timing.
#
#   bench/cli_job_instructions.sh [BUILD_DIR] [OUT_DIR]
#
# Prints the total ("Ir") and the top functions; the callgrind file and the
# job's log stay in OUT_DIR. The job must still succeed under valgrind (the
# replies are timed for the real module): a failed job is no figure.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=${2:-$(mktemp -d /tmp/vek-callgrind-XXXXXX)}
mkdir -p "$out/run" "$out/job"
out=$(cd "$out" && pwd)

rm -rf "$out/images" "$out/ports" "$out/station.db"
"$build/sim/vek-make-images" "$out/images" --platform 2 >/dev/null
"$build/sim/vek-sim" --port-map "$out/ports" --model ZX2180 --revision ZX2180_SIM_V1.0 \
  --revision-after-download ZX2180_SIM_V1.1 2>"$out/vek-sim.log" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$out/ports" ] && break; sleep 0.1; done

status=0
(cd "$out/job" && VEK_TIME_SCALE=1 XDG_RUNTIME_DIR="$out/run" \
   valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
   "$build/cli/vek-cli" --port-map "$out/ports" --images "$out/images" --station-db "$out/station.db" \
   >"$out/vek-cli.out" 2>"$out/valgrind.log") || status=$?
kill -TERM "$sim_pid"; wait "$sim_pid" 2>/dev/null || true
trap - EXIT

if [ "$status" -ne 0 ]; then
  echo "cli_job_instructions: the job failed under valgrind (exit $status); see $out" >&2
  exit 1
fi
callgrind_annotate "$out/callgrind.out" >"$out/annotate.txt" 2>/dev/null
total=$(grep -m1 'PROGRAM TOTALS' "$out/annotate.txt" | awk '{print $1}')
echo "vek-cli instructions per default job: $total (Ir)"
echo "top functions (callgrind_annotate $out/callgrind.out):"
sed -n '/file:function/,$p' "$out/annotate.txt" | sed -n '3,22p' | cut -c1-160
