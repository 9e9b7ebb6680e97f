#!/usr/bin/env bash
# Whole-chain benchmark: runs a generated basin (examples/generator) with every sub-model
# of the example under 1, 2, 4 and 8 processes of one thread each, and reports per process
# count the cell-steps per second per core, the parallel efficiency against 1 process and
# the peak resident memory per cell.
#
#   bench/whole_chain.sh [N [HOURS [PROCESSES...]]]     defaults: 200 24 1 2 4 8
#
# The basin has N x N cells and soil columns of LAYERS layers (default 20); each process
# computes on THREADS OpenMP threads (default 1), and the rate per core counts processes
# times threads. Each process count runs the basin twice, for 2 and for
# 2 + HOURS hourly steps; the difference of the two wall times is the time of HOURS steps
# without the set-up and the end of the run. The peak resident memory is that of the
# longer run, summed over the processes (each process's own peak; "largest" is the
# largest of them). With PERF=1 the one-process run is profiled with perf, and the
# functions that take the most time are printed. TOLVO_BUILD names the build folder
# (default build/); the benchmark builds the program and the generator there. Not part of
# CI: N = 1000 needs several GB and a few minutes per run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOLVO_BUILD:-$root/build}
n=${1:-200}
hours=${2:-24}
shift $(( $# < 2 ? $# : 2 ))
processes=("$@")
[ ${#processes[@]} -gt 0 ] || processes=(1 2 4 8)
warmup=2
layers=${LAYERS:-20}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target tolvompi64 generate-basin >/dev/null

work="$build/whole-chain-$n"
rm -rf "$work"
"$build/examples/generator/generate-basin" "$n" "$work/basin" --hours $((warmup + hours)) --soil-layers "$layers" |
  tee "$work.log"
cells=$(awk '{ for (i = 1; i <= NF; ++i) if ($i == "cells") print $(i - 1) }' "$work.log")
rm -f "$work.log"

[ "$(id -u)" -eq 0 ] && export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
threads=${THREADS:-1}
# Processes waiting in MPI calls yield their cores instead of polling: on a machine that
# runs other work, a polling process holds the core the process it waits for needs, and
# every one of the step's synchronisation points then waits for the scheduler.
export OMP_NUM_THREADS=$threads OMP_WAIT_POLICY=passive OMPI_MCA_mpi_yield_when_idle=1

# run FOLDER PROCESSES STEPS: runs the basin in a fresh copy; prints the wall time in
# seconds, the summed and the largest peak resident memory in kB.
run() {
  local folder=$1 np=$2 steps=$3
  rm -rf "$folder"
  cp -r "$work/basin" "$folder"
  mkdir -p "$folder/out"
  sed -i "0,/end hour/s/^[0-9]*\( *end hour\)/$(( (steps - 1) % 24 + 1 ))\1/;0,/end day/s/^[0-9]*\( *end day\)/$(( (steps - 1) / 24 + 1 ))\1/" \
    "$folder/basin.ctl"
  cd "$folder"
  local start end
  start=$(date +%s.%N)
  mpirun --oversubscribe --bind-to none -np "$np" \
    bash -c 'exec /usr/bin/time -f %M -o rss_${OMPI_COMM_WORLD_RANK:-0} "$0" basin.ctl' "$build/tolvompi64" \
    > run.log 2>&1 || { echo "the run on $np processes failed; see $folder/run.log" >&2; exit 1; }
  end=$(date +%s.%N)
  cd - >/dev/null
  awk -v t0="$start" -v t1="$end" '{ s += $1; if ($1 > m) m = $1 } END { print t1 - t0, s, m }' "$folder"/rss_*
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc --all) cores; $threads thread(s) per process"
printf "%9s %12s %18s %11s %14s %14s %14s\n" processes "s per step" "cell-steps/s/core" efficiency \
  "peak MB (sum)" "KB per cell" "largest MB"
base=""
for np in "${processes[@]}"; do
  result=$(run "$work/short-$np" "$np" "$warmup")
  read -r short _ _ <<<"$result"
  result=$(run "$work/long-$np" "$np" $((warmup + hours)))
  read -r long rss largest <<<"$result"
  awk -v np="$np" -v short="$short" -v long="$long" -v steps="$hours" -v cells="$cells" -v rss="$rss" \
      -v largest="$largest" -v base="$base" -v threads="$threads" 'BEGIN {
    per_step = (long - short) / steps
    rate = cells / per_step / (np * threads)
    efficiency = base == "" ? 1 : rate / base
    printf "%9d %12.4f %18.0f %10.0f%% %14.1f %14.2f %14.1f\n", np, per_step, rate, 100 * efficiency,
           rss / 1024, rss / cells, largest / 1024
  }'
  [ -n "$base" ] || base=$(awk -v short="$short" -v long="$long" -v steps="$hours" -v cells="$cells" \
                               -v threads="$threads" 'BEGIN { printf "%.10g", cells * steps / (long - short) / threads }')
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

if [ "${PERF:-0}" = 1 ]; then
  folder="$work/perf"
  rm -rf "$folder"
  cp -r "$work/basin" "$folder"
  mkdir -p "$folder/out"
  (cd "$folder" && perf record -q -F 999 -g -o perf.data "$build/tolvompi64" basin.ctl >run.log 2>&1)
  echo "where the time goes (1 process, $((warmup + hours)) steps with the set-up; perf, self time):"
  (cd "$folder" && perf report -i perf.data --stdio --no-children --sort symbol -g none 2>/dev/null |
     awk '/^ +[0-9]+\.[0-9]+%/ && ++n <= 25 { sub(/ +$/, ""); print }')
fi
