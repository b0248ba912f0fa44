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
# sha1sum (run through xargs from the installation folder). Before either is measured, both have read
# every file once: both find the files in the page cache (warm), as an update run finds a recently used
# installation. Each figure is the median of BENCH_REPETITIONS repetitions of wall time.
# Then tests/crypto_benchmark measures sealing, unsealing and the manifest signature check per call.
#
# Environment:
#   VODA_BUILD_DIR     the build folder (default: build), configured RelWithDebInfo when new; it must
#                      be a RelWithDebInfo or Release build
#   BENCH_SIZES        the sizes (default "1000 10000 50000")
#   BENCH_REPETITIONS  repetitions of each measurement (default 5)
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
repetitions=${BENCH_REPETITIONS:-5}
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
say "Update decision and sha1sum over $sizes files ($repetitions repetitions each)"
VODA_DECISION_SIZES="$sizes" "$build_dir/tests/update_decision_benchmark" \
  --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
  --benchmark_format=csv >"$work/decision.csv" 2>"$work/decision.err" \
  || { cat "$work/decision.err" >&2; fail "update_decision_benchmark failed"; }
if grep -q ',true,' "$work/decision.csv"; then
  grep ',true,' "$work/decision.csv" >&2
  fail "a measurement reported an error"
fi

# "N decision-seconds sha1sum-seconds", one line per size, from the medians (reported in ms).
awk -F, '
  $1 ~ /_median"$/ {
    split($1, part, "/"); name = substr(part[1], 2); n = part[2]
    seconds = $3 / 1000
    if (name == "BM_Decision") d[n] = seconds; else if (name == "BM_Sha1sum") s[n] = seconds
    if (!(n in seen)) { seen[n] = 1; order[++count] = n }
  }
  END { for (i = 1; i <= count; i++) { n = order[i]; if ((n in d) && (n in s)) print n, d[n], s[n] } }
' "$work/decision.csv" >"$work/decision.dat"
[ "$(wc -l <"$work/decision.dat")" -eq "$(wc -w <<<"$sizes")" ] || { cat "$work/decision.csv" >&2; fail "missing figures"; }

echo
echo "Build: $build_type; $(nproc) cores; $(sha1sum --version | head -n 1); page cache warm for both"
echo "Medians of $repetitions repetitions, wall time. Dl. = reading both manifests and deciding every entry"
echo "(10 entries changed); sha1sum = xargs -0 sha1sum over the same files."
echo
printf '| %8s | %9s | %9s | %6s | %13s | %13s |\n' N "Dl. s" "sha1sum s" ratio "Dl. µs/entry" "sha1 µs/file"
echo "|----------|-----------|-----------|--------|---------------|---------------|"
awk '{ printf "| %8d | %9.3f | %9.3f | %6.2f | %13.1f | %13.1f |\n", $1, $2, $3, ($3 > 0 ? $2 / $3 : 0), $2 / $1 * 1e6, $3 / $1 * 1e6 }' \
  "$work/decision.dat"

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
set ylabel "wall time, seconds (median of $repetitions)"
set key top left
set grid
set xrange [0:*]
set yrange [0:*]
set format x "%.0f"
plot "$work/decision.dat" using 1:2 with linespoints lw 2 pt 7 title "Downloader: both manifests read, every entry decided", \
     "$work/decision.dat" using 1:3 with linespoints lw 2 pt 5 title "sha1sum over the N files"
EOF
  say "Plot written to $plot_file"
fi
