#!/usr/bin/env bash
# Benchmark of the update decision against sha1sum over the same files, and of the message and manifest
# cryptography per call.
#
#   bash scripts/bench-decision.sh
#
# tests/update_decision_benchmark makes, for each size N (1,000, 10,000 and 50,000 files), one
# installation on a fresh prefix: N files of 1 to 8 KiB of random bytes over the installation folder and
# Data, Plugins, Plugins\sub, Script and Tools, the installed Digest.xml that records all of them, and a
# fresh Digest.xml in the staging folder in which 10 entries changed. It measures what an update run does
# before it downloads anything (read both manifests, decide every entry) and, over the same N files,
# sha1sum (run through xargs, every file named by its full path). Before either is measured, both have
# read every file once: both find the files in the page cache (warm), as an update run finds a recently
# used installation. The repetitions of both programs and all sizes are interleaved at random, so that
# the other work of a shared machine meets both alike; each figure is the median of BENCH_REPETITIONS
# repetitions (wall time and CPU time, user + system) and the fastest repetition's wall time.
# Then tests/crypto_benchmark measures sealing, unsealing and the manifest signature check per call.
#
# Environment:
#   VODA_BUILD_DIR     the build folder (default: build), configured RelWithDebInfo when new; it must
#                      be a RelWithDebInfo or Release build
#   BENCH_SIZES        the sizes (default "1000 10000 50000")
#   BENCH_REPETITIONS  repetitions of each measurement (default 9)
#   BENCH_CRYPTO       0 leaves out the crypto benchmark
#   BENCH_PLOT         0 draws no plot (CI sets CI, which also leaves it out); otherwise the plot of time
#                      against N goes to BENCH_PLOT_FILE (default docs/performance/decision.png), and
#                      gnuplot (Debian package gnuplot-nox) is installed with apt-get when missing
set -euo pipefail

cd "$(dirname "$0")/.."
source_dir=$(pwd)
build_dir=${VODA_BUILD_DIR:-build}
case "$build_dir" in /*) ;; *) build_dir="$source_dir/$build_dir" ;; esac
sizes=${BENCH_SIZES:-1000 10000 50000}
repetitions=${BENCH_REPETITIONS:-9}
plot_file=${BENCH_PLOT_FILE:-docs/performance/decision.png}
plot=${BENCH_PLOT:-1}
[ -n "${CI:-}" ] && plot=0

say() { printf '== %s\n' "$*" >&2; }
fail() { printf 'bench-decision.sh: %s\n' "$*" >&2; exit 1; }

for n in $sizes; do [[ "$n" =~ ^[1-9][0-9]*$ ]] || fail "BENCH_SIZES must be positive numbers"; done
[[ "$repetitions" =~ ^[1-9][0-9]*$ ]] || fail "BENCH_REPETITIONS must be a positive number"
command -v sha1sum >/dev/null || fail "sha1sum is missing"

# --- Build ------------------------------------------------------------------------------------------------
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  say "Configuring $build_dir (RelWithDebInfo)"
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build_dir/CMakeCache.txt")
case "$build_type" in
  Release | RelWithDebInfo) ;;
  *) fail "$build_dir is a '${build_type:-(no type)}' build; give VODA_BUILD_DIR a RelWithDebInfo or Release build folder" ;;
esac
targets=update_decision_benchmark
[ "${BENCH_CRYPTO:-1}" = 0 ] || targets="$targets crypto_benchmark"
say "Building $targets in $build_dir"
# shellcheck disable=SC2086  # the target list is meant to split
cmake --build "$build_dir" --target $targets -j2 >/dev/null || fail "the build failed (Google Benchmark missing?)"
[ -x "$build_dir/tests/update_decision_benchmark" ] || fail "no tests/update_decision_benchmark in $build_dir"

work=$(mktemp -d "${TMPDIR:-/tmp}/voda-bench-decision.XXXXXX")
trap 'rm -rf "$work"' EXIT

# --- The decision against sha1sum -------------------------------------------------------------------------
say "Update decision and sha1sum over $sizes files ($repetitions repetitions each, interleaved)"
VODA_DECISION_SIZES="$sizes" "$build_dir/tests/update_decision_benchmark" \
  --benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_format=csv >"$work/decision.csv" 2>"$work/decision.err" \
  || { cat "$work/decision.err" >&2; fail "update_decision_benchmark failed"; }
if grep -q ',true,' "$work/decision.csv"; then
  grep ',true,' "$work/decision.csv" >&2
  fail "a measurement reported an error"
fi

# One line per size, in seconds: N, then for the decision and for sha1sum each the median wall time, the
# fastest repetition's wall time and the median CPU time.
awk -F, '
  NR == 1 { for (i = 1; i <= NF; i++) { gsub(/"/, "", $i); column[$i] = i }; next }
  $1 ~ /_(median|min)"$/ {
    split($1, part, "/"); name = substr(part[1], 2); n = part[2]; stat = ($1 ~ /_median"$/) ? "median" : "min"
    key = name SUBSEP n
    if (stat == "median") { wall[key] = $column["real_time"] / 1000; cpu[key] = $column["cpu_s"] }
    else fastest[key] = $column["real_time"] / 1000
    sizes[n] = 1
  }
  END {
    for (n in sizes) {
      d = "BM_Decision" SUBSEP n; s = "BM_Sha1sum" SUBSEP n
      if ((d in wall) && (s in wall) && (d in fastest) && (s in fastest))
        print n, wall[d], fastest[d], cpu[d], wall[s], fastest[s], cpu[s]
    }
  }
' "$work/decision.csv" | sort -n >"$work/decision.dat"
[ "$(wc -l <"$work/decision.dat")" -eq "$(wc -w <<<"$sizes")" ] || { cat "$work/decision.csv" >&2; fail "missing figures"; }

echo
echo "Build: $build_type; $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg); $(sha1sum --version | head -n 1)"
echo "Page cache warm for both; $repetitions repetitions, interleaved at random. Dl. = reading both manifests and"
echo "deciding every entry (10 entries changed); sha1 = xargs -0 sha1sum over the same files by their full paths."
echo "wall = median elapsed s; best = fastest repetition's elapsed s; CPU = median user + system s (sha1sum's"
echo "with its shell and xargs); x = Dl. / sha1; µs/e = Dl.'s median wall time per entry."
echo
printf '| %6s | %8s | %8s | %8s | %9s | %9s | %9s | %6s | %6s | %6s | %7s |\n' N "Dl. wall" "Dl. best" "Dl. CPU" \
  "sha1 wall" "sha1 best" "sha1 CPU" "wall x" "best x" "CPU x" "µs/e"
echo "|--------|----------|----------|----------|-----------|-----------|-----------|--------|--------|--------|---------|"
awk 'function r(a, b) { return b > 0 ? a / b : 0 }
     { printf "| %6d | %8.3f | %8.3f | %8.3f | %9.3f | %9.3f | %9.3f | %6.2f | %6.2f | %6.2f | %7.1f |\n",
              $1, $2, $3, $4, $5, $6, $7, r($2, $5), r($3, $6), r($4, $7), $2 / $1 * 1e6 }' "$work/decision.dat"

# --- Cryptography per call ----------------------------------------------------------------------------------
if [ "${BENCH_CRYPTO:-1}" != 0 ]; then
  say "Sealing, unsealing and the signature check"
  echo
  "$build_dir/tests/crypto_benchmark" --benchmark_repetitions="$repetitions" \
    --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '^(Benchmark|-+$|BM_.*_median)' \
    || fail "crypto_benchmark failed"
fi

# --- Plot -------------------------------------------------------------------------------------------------
if [ "$plot" != 0 ]; then
  if ! command -v gnuplot >/dev/null; then
    say "Installing gnuplot-nox"
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get install -y gnuplot-nox >/dev/null || fail "cannot install gnuplot-nox"
  fi
  mkdir -p "$(dirname "$plot_file")"
  gnuplot <<EOF || fail "gnuplot failed"
set terminal pngcairo size 900,560 font "sans,11"
set output "$plot_file"
set title "Update decision (10 entries changed) against sha1sum over the same files, page cache warm"
set xlabel "installed entries N"
set key top left
set grid
set xrange [0:*]
set yrange [0:*]
set format x "%.0f"
set ylabel "seconds (median of $repetitions)"
plot "$work/decision.dat" using 1:2 with linespoints lw 2 pt 7 lc rgb "#9400d3" title "Downloader (both manifests read, every entry decided): wall, median", \
     "$work/decision.dat" using 1:5 with linespoints lw 2 pt 5 lc rgb "#009e73" title "sha1sum over the N files: wall, median", \
     "$work/decision.dat" using 1:4 with linespoints lw 1 dt 2 pt 6 lc rgb "#9400d3" title "Downloader: CPU, median", \
     "$work/decision.dat" using 1:7 with linespoints lw 1 dt 2 pt 4 lc rgb "#009e73" title "sha1sum: CPU, median"
EOF
  say "Plot written to $plot_file"
fi
