#!/usr/bin/env bash
# The test suite under a sanitizer, from nothing: packages, configure, build, tests.
#
#   scripts/sanitize.sh address    every test, built with AddressSanitizer (and LeakSanitizer) and
#                                  UndefinedBehaviorSanitizer, in build-asan
#   scripts/sanitize.sh thread     the threaded parts, built with ThreadSanitizer, in build-tsan: the
#                                  dialog framework and the dialogs (gui, ui), the update engine and its
#                                  progress worker (update, e2e), the registry store and kernel objects
#                                  (platform)
#
# Every program a test starts (downloader, standin, update-server, voda-release) is built the same way
# and inherits the options below, so a finding in a child process counts as well. Reports go to files in
# <build>/sanitizer-reports, which the script prints at the end: a report is a finding even when the
# test that started the program did not look at its exit code. Exit code 0 only when every test passed
# and no report was written; 1 otherwise; 2 on a usage, configure or build error.
#
# VODA_SANITIZE_JOBS (default 2) sets the build and test jobs. Extra arguments after the kind go to
# ctest (e.g. -R Registry).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

kind=${1:-}
case "$kind" in
  address) build=build-asan ;;
  thread) build=build-tsan ;;
  *)
    echo "usage: scripts/sanitize.sh address|thread [ctest arguments...]" >&2
    exit 2
    ;;
esac
shift
jobs=${VODA_SANITIZE_JOBS:-2}
if ! [[ $jobs =~ ^[1-9][0-9]*$ ]]; then
  echo "sanitize.sh: VODA_SANITIZE_JOBS must be a positive number, not '$jobs'" >&2
  exit 2
fi

bash scripts/install-deps.sh || { echo "sanitize.sh: installing the packages failed" >&2; exit 2; }

reports=$root/$build/sanitizer-reports
supp=$root/tests/sanitizers

# The sanitizers' options; $1 is where reports go (one file per process, <tool>.<pid>), stderr if empty.
# Every report stops the program (halt_on_error), undefined behaviour included.
sanitizer_options() {
  local log=""
  [ -n "$1" ] && log=":log_path=$1"
  local common="halt_on_error=1:print_stacktrace=1:symbolize=1"
  export UBSAN_OPTIONS="$common${log:+$log/ubsan}"
  if [ "$kind" = address ]; then
    export ASAN_OPTIONS="$common${log:+$log/asan}:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
    export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
    # GTK's accessibility bridge keeps its bus connection and names until the process ends, allocations
    # that the leak checker's short stacks through uninstrumented code cannot tell from glib's others;
    # the tests have no screen reader, so the bridge stays off.
    export NO_AT_BRIDGE=1
  else
    export TSAN_OPTIONS="$common${log:+$log/tsan}:second_deadlock_stack=1:suppressions=$supp/tsan.supp:print_suppressions=0"
  fi
}

started=$SECONDS
# The build runs programs too (the artwork tool, the tests listing themselves).
sanitizer_options ""
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVODA_WERROR=ON -DVODA_SANITIZE="$kind" >/dev/null ||
  { echo "sanitize.sh: configuring $build failed" >&2; exit 2; }
# The thread build builds only what its tests need: the programs and the tests of the chosen modules
# (test executables are named after their module folder).
modules='gui|ui|update|e2e|platform'
targets=()
if [ "$kind" = thread ]; then
  targets=(--target downloader update-server voda-release standin)
  while read -r t; do targets+=("$t"); done < <(cmake --build "$build" --target help |
    sed -nE "s/^\.\.\. (($modules)_[A-Za-z0-9_]+).*/\1/p")
fi
cmake --build "$build" -j"$jobs" "${targets[@]}" >"$build/sanitize-build.log" 2>&1 ||
  { tail -n 40 "$build/sanitize-build.log" >&2; echo "sanitize.sh: the build failed (see $build/sanitize-build.log)" >&2; exit 2; }
built=$SECONDS
echo "sanitize.sh: $build built in $((built - started)) s"

rm -rf "$reports"
mkdir -p "$reports"
sanitizer_options "$reports"
selection=()
if [ "$kind" = thread ]; then
  # The modules whose tests drive threads: see docs/sanitizers.md for the choice.
  selection=(-L "^($modules)\$")
fi

ctest --test-dir "$build" --output-on-failure -j"$jobs" "${selection[@]}" "$@"
tests_rc=$?
echo "sanitize.sh: tests ran in $((SECONDS - built)) s"

found=0
for report in "$reports"/*; do
  [ -e "$report" ] || continue
  found=$((found + 1))
  echo "===== sanitizer report ${report#"$root"/} ====="
  cat "$report"
done

if [ "$found" -gt 0 ]; then
  echo "sanitize.sh: $found sanitizer report(s) under $build/sanitizer-reports" >&2
  exit 1
fi
if [ "$tests_rc" -ne 0 ]; then
  echo "sanitize.sh: tests failed under the $kind sanitizer" >&2
  exit 1
fi
echo "sanitize.sh: every test passed under the $kind sanitizer, no reports"
