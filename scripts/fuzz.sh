#!/usr/bin/env bash
# Builds every libFuzzer target with clang in build-fuzz and runs each for a while on a copy of its seed
# corpus (tests/fuzz/corpus/<target>), saying how many inputs it ran and whether it found anything.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]    SECONDS per target (default 60); all targets unless named
#
# Exit code 1 when a target found something: its inputs and output stay in the folder it names.
# VODA_FUZZ_BUILD_DIR (default build-fuzz) and VODA_FUZZ_JOBS (build jobs, default 1) change the build.
# VODA_FUZZ_RUNS ends a target earlier, after that many executions (the campaign: 10000000 and 3600 s).
set -u
cd "$(dirname "$0")/.."
root=$PWD

seconds=${1:-60}
shift || true
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2
  exit 2
fi

all_targets=(fuzz_unseal_message fuzz_codec fuzz_server_reply fuzz_manifest fuzz_update_decision
             fuzz_prefix_files fuzz_script fuzz_server_address fuzz_request_path)
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi
for target in "${targets[@]}"; do
  if [ ! -d "tests/fuzz/corpus/$target" ]; then
    echo "fuzz.sh: unknown target $target (no tests/fuzz/corpus/$target)" >&2
    exit 2
  fi
done

build=${VODA_FUZZ_BUILD_DIR:-build-fuzz}
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ nice -n 19 cmake -S . -B "$build" -DVODA_FUZZ=ON -DVODA_BUILD_TESTS=ON >/dev/null ||
    { echo "fuzz.sh: configuring $build failed" >&2; exit 2; }
fi
nice -n 19 cmake --build "$build" --target "${targets[@]}" -j "${VODA_FUZZ_JOBS:-1}" >"$build/fuzz-build.log" 2>&1 ||
  { tail -n 30 "$build/fuzz-build.log" >&2; echo "fuzz.sh: the build failed (see $build/fuzz-build.log)" >&2; exit 2; }

# Undefined behaviour is a finding, not a warning.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

found=0
printf '%-22s %14s  %s\n' target executions result
for target in "${targets[@]}"; do
  work=$(mktemp -d "${TMPDIR:-/tmp}/$target-XXXXXX")
  mkdir -p "$work/corpus" "$work/artifacts" "$work/tmp"
  cp -R "tests/fuzz/corpus/$target/." "$work/corpus/"
  # The target's own temporary folders (a prefix) go into the work folder, removed with it.
  runs_limit=()
  [ -n "${VODA_FUZZ_RUNS:-}" ] && runs_limit=(-runs="$VODA_FUZZ_RUNS")
  (cd "$work" && TMPDIR="$work/tmp" nice -n 19 "$root/$build/tests/$target" -max_total_time="$seconds" "${runs_limit[@]}" \
     -timeout=25 -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/output.txt" 2>&1)
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/output.txt" | tail -n 1)
  if [ $status -eq 0 ] && [ -z "$(ls -A "$work/artifacts")" ]; then
    printf '%-22s %14s  %s\n' "$target" "${runs:-?}" "nothing found"
    rm -rf "$work"
  else
    printf '%-22s %14s  %s\n' "$target" "${runs:-?}" "FOUND something (exit $status): $work"
    grep -m 3 -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$work/output.txt" | sed 's/^/    /'
    found=1
  fi
done
exit $found
