#!/usr/bin/env bash
# Runs the example basin under valgrind's memory checker: any invalid access or definite
# leak of the program's own memory fails the test.
# Usage: memcheck_example.sh <valgrind> <program> <source dir>
set -euo pipefail
valgrind=$1 program=$2 source=$3
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
cp -r "$source/examples/basin/." "$run/"
mkdir -p "$run/out"
# Two days of the basin's run go through every step's code; the checker makes each step slow.
sed -i 's/^31    end day/2    end day/; s/^3     end month/1     end month/' "$run/basin.ctl"
cd "$run"
supp=()
[ -f /usr/share/openmpi/openmpi-valgrind.supp ] && supp+=(--suppressions=/usr/share/openmpi/openmpi-valgrind.supp)
OMP_NUM_THREADS=2 "$valgrind" --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
  --show-leak-kinds=definite "${supp[@]}" --suppressions="$source/tests/support/valgrind.supp" \
  "$program" basin.ctl >memcheck.log 2>&1 || { cat memcheck.log; exit 1; }
grep -E "ERROR SUMMARY" memcheck.log
