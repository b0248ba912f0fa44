#!/usr/bin/env bash
# Benchmark of whole first installations against curl fetching the same files from the same server.
#
#   bash scripts/bench-install.sh
#
# Two releases are published and served with update-server on 127.0.0.1:
#   small  many small files (BENCH_SMALL_FILES, default 2000, 1 to 8 KiB of random bytes each) spread
#          over Data, Plugins, Plugins\sub, Script and Tools;
#   large  one large file of random bytes (BENCH_LARGE_MB MiB, default 1024) in Data.
# Both also hold what every release holds: the assistant's programs (stand-ins), the Downloader itself as
# tellvane_861.exe and two bank files. For each release the Downloader runs a headless first installation
# into a fresh prefix with a scripted user who accepts every default; then, against the same server,
# ONE curl process fetches every file the Downloader fetched (the manifests and the components, taken
# from the server's request log of the Downloader's run, in the same order) one after another, reusing
# its connection and writing each body to its own file. Both are measured with GNU time: wall-clock
# seconds and peak resident memory. curl runs a second time with "Connection: close", a new connection for
# every URL as the Downloader makes one per file (update-server answers a reused connection's requests
# tens of milliseconds late, which the many-small-files case shows). The Downloader's figure is its whole run: start, version query,
# dialogs, manifests, downloads with digest checks, copying, registry records and starting the assistant.
#
# The installation sequence waits on purpose in a few places (after the version query, after stopping
# the assistant, before and while starting it). A small library preloaded into the Downloader times its
# sleeps: every sleep of 100 ms or more asked for is such a pause (the polling waits sleep 20 ms at
# most), and their measured durations add up to the "pauses" column. "own" is the whole run less them.
#
# Environment:
#   VODA_BUILD_DIR     the build folder (default: build); the programs are built there when missing
#   BENCH_SMALL_FILES  number of small files (default 2000)
#   BENCH_LARGE_MB     size of the large file in MiB (default 1024)
#   BENCH_CASES        which cases to run (default "small large")
#   BENCH_KEEP         1 keeps the working folder (releases, prefixes, logs) and prints where it is
#   BENCH_PLOT         a PNG file: draws the figures as bars into it with gnuplot (installed with apt-get
#                      when missing)
set -euo pipefail

cd "$(dirname "$0")/.."
source_dir=$(pwd)
build_dir=${VODA_BUILD_DIR:-build}
case "$build_dir" in /*) ;; *) build_dir="$source_dir/$build_dir" ;; esac
bin="$build_dir/bin"
small_files=${BENCH_SMALL_FILES:-2000}
large_mb=${BENCH_LARGE_MB:-1024}
cases=${BENCH_CASES:-small large}
version=1.0.0.1

say() { printf '== %s\n' "$*" >&2; }
fail() { printf 'bench-install.sh: %s\n' "$*" >&2; exit 1; }

[[ "$small_files" =~ ^[1-9][0-9]*$ ]] || fail "BENCH_SMALL_FILES must be a positive number"
[[ "$large_mb" =~ ^[1-9][0-9]*$ ]] || fail "BENCH_LARGE_MB must be a positive number of MiB"
[ -x /usr/bin/time ] || fail "GNU time is missing (/usr/bin/time, Debian package time; scripts/install-deps.sh installs it)"
command -v curl >/dev/null || fail "curl is missing"
command -v cc >/dev/null || fail "a C compiler is missing (cc)"
plot=${BENCH_PLOT:-}
case "$plot" in "" | /*) ;; *) plot="$source_dir/$plot" ;; esac
if [ -n "$plot" ] && ! command -v gnuplot >/dev/null; then
  say "Installing gnuplot-nox for the plot"
  apt-get install -y gnuplot-nox >/dev/null || fail "gnuplot is missing and could not be installed"
fi

# --- Build (only what is missing) -------------------------------------------------------------------------
need_build=0
for p in downloader update-server voda-release standin; do [ -x "$bin/$p" ] || need_build=1; done
if [ "$need_build" = 1 ]; then
  say "Building into $build_dir"
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$build_dir" --target downloader update-server voda-release standin -j2 >/dev/null
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build_dir/CMakeCache.txt" 2>/dev/null || true)

# --- Working folder ---------------------------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/voda-bench.XXXXXX")
server_pid=""
started_pids=""
stop_server() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  server_pid=""
}
cleanup() {
  stop_server
  for pid in $started_pids; do kill -TERM "$pid" 2>/dev/null || true; done
  if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

free_mb=$(df -Pm "$work" | awk 'NR == 2 { print $4 }')
case " $cases " in
  *" large "*)
    # The large file lies three times on disk: in the release, in the prefix and as curl's copy.
    if [ $((large_mb * 3 + 1024)) -gt "$free_mb" ]; then fail "needs $((large_mb * 3 + 1024)) MiB free, has $free_mb MiB"; fi ;;
esac

# The files every release holds.
base_components() {
  local src=$1 name
  mkdir -p "$src/bank/Data" "$src/bank/Script"
  for name in ZivIV_861.exe QuillonPop.exe QuillonPop_861.exe uninst_861.exe; do cp "$bin/standin" "$src/$name"; done
  cp "$bin/downloader" "$src/tellvane_861.exe"
  printf 'bank 861 data\n' >"$src/bank/Data/bank_861.dat"
  printf 'function bank() { return 861; }\n' >"$src/bank/Script/bank.js"
}

make_small() {
  local src=$1 folders=(Data Plugins Plugins/sub Script Tools) i dir
  base_components "$src"
  for dir in "${folders[@]}"; do mkdir -p "$src/$dir"; done
  # Sizes from 1 to 8 KiB, repeatable: the same list on every run.
  RANDOM=861
  for ((i = 0; i < small_files; i++)); do
    dir=${folders[$((i % ${#folders[@]}))]}
    head -c $((1024 + RANDOM % 7169)) /dev/urandom >"$src/$dir/part$i.dat"
  done
}

make_large() {
  local src=$1 name
  base_components "$src"
  mkdir -p "$src/Data"
  head -c $((large_mb * 1024 * 1024)) /dev/urandom >"$src/Data/large.dat"
}

# The prescribed pauses are measured by a small preloaded library that times every sleep of 100 ms or
# more asked for and writes one line per sleep: process id, seconds asked for, seconds slept.
make_sleep_log() {
  cat >"$work/sleeplog.c" <<'EOF'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static double seconds(const struct timespec* t) { return (double)t->tv_sec + (double)t->tv_nsec / 1e9; }

static void note(const struct timespec* asked, const struct timespec* from) {
  struct timespec to;
  clock_gettime(CLOCK_MONOTONIC, &to);
  const char* path = getenv("BENCH_SLEEP_LOG");
  if (path == NULL || asked == NULL || seconds(asked) < 0.1) return;
  char line[96];
  int n = snprintf(line, sizeof line, "%d %.3f %.6f\n", (int)getpid(), seconds(asked), seconds(&to) - seconds(from));
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line, (size_t)n) < 0) {}
  close(fd);
}

int nanosleep(const struct timespec* asked, struct timespec* left) {
  static int (*real)(const struct timespec*, struct timespec*);
  if (real == NULL) real = (int (*)(const struct timespec*, struct timespec*))dlsym(RTLD_NEXT, "nanosleep");
  struct timespec from;
  clock_gettime(CLOCK_MONOTONIC, &from);
  int rc = real(asked, left);
  note(asked, &from);
  return rc;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* asked, struct timespec* left) {
  static int (*real)(clockid_t, int, const struct timespec*, struct timespec*);
  if (real == NULL) real = (int (*)(clockid_t, int, const struct timespec*, struct timespec*))dlsym(RTLD_NEXT, "clock_nanosleep");
  struct timespec from;
  clock_gettime(CLOCK_MONOTONIC, &from);
  int rc = real(clock, flags, asked, left);
  if (flags == 0) note(asked, &from);
  return rc;
}
EOF
  cc -shared -fPIC -O2 -o "$work/sleeplog.so" "$work/sleeplog.c" -ldl || fail "cannot build the sleep log library"
}
make_sleep_log

# Starts update-server on a release; sets server_pid and port.
start_server() {
  local release=$1 log=$2
  "$bin/update-server" --release "$release" --port 0 >"$log" 2>&1 &
  server_pid=$!
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's|^listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$log" | head -n 1)
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$log" >&2; fail "update-server did not start"; }
}

# GNU time's figures as "SECONDS KIB" from its output file (the last line; a line before it may say that
# the command ended with another code).
measured() { tail -n 1 "$1"; }

results=()
plot_rows=()
run_case() {
  local name=$1 dir="$work/$1"
  mkdir -p "$dir"
  say "Case $name: publishing"
  "make_$name" "$dir/components"
  "$bin/voda-release" publish "$dir/components" "$dir/release" --version "$version" --url '{base}/files' \
    --update 2 >/dev/null
  rm -rf "$dir/components"
  local bytes files
  files=$(find "$dir/release/files" -type f | wc -l)
  bytes=$(du -sb "$dir/release/files" | cut -f1)

  start_server "$dir/release" "$dir/server.log"

  # The Downloader: a fresh prefix, serverip.dat in its current folder, a user who accepts the defaults.
  mkdir -p "$dir/run" "$dir/prefix"
  printf 'http://127.0.0.1:%s\n\n/assist/server?reqtype=1&data=\n' "$port" >"$dir/run/serverip.dat"
  cat >"$dir/accept-defaults.txt" <<'EOF'
wait dialog 130 60
wait dialog 132 60
click 1
wait dialog 134 30
click 1
wait dialog 135 30
wait text 1020 "完成安装,准备启动助手" 3600
EOF
  say "Case $name: the Downloader installs $files files, $bytes bytes"
  local rc=0
  (cd "$dir/run" && env VODA_PREFIX="$dir/prefix" VODA_UI=headless VODA_UI_SCRIPT="$dir/accept-defaults.txt" \
    LD_PRELOAD="$work/sleeplog.so" BENCH_SLEEP_LOG="$dir/sleeps.txt" \
    /usr/bin/time -f '%e %M' -o "$dir/downloader.time" "$bin/downloader" </dev/null 2>"$dir/downloader.err") || rc=$?
  # The assistant's programs the run started are stand-ins that would keep running.
  local running
  running=$(awk -F'\t' '$1 == "start" { alive[$2] = 1 } $1 == "end" { delete alive[$2] }
                        END { for (pid in alive) print pid }' "$dir/prefix/journal.log" 2>/dev/null || true)
  for pid in $running; do kill -TERM "$pid" 2>/dev/null || true; done
  [ "$rc" -eq 0 ] || { tail -n 20 "$dir/downloader.err" >&2; fail "case $name: the downloader ended with code $rc"; }
  grep -q '完成安装,准备启动助手' "$dir/downloader.err" || fail "case $name: the installation did not finish"

  # The same files, as the server saw them requested, in the same order, by one curl process.
  sed -n 's|^http GET \(/files/[^ ]*\) -> 200 .*|\1|p' "$dir/server.log" | tr '\\' '/' | sed 's|//*|/|g' \
    >"$dir/urls.txt"
  local fetched
  fetched=$(wc -l <"$dir/urls.txt")
  [ "$fetched" -ge "$files" ] || fail "case $name: the Downloader fetched $fetched of the $files files"
  mkdir -p "$dir/curl"
  awk -v base="http://127.0.0.1:$port" -v out="$dir/curl" \
    '{ printf "url = \"%s%s\"\noutput = \"%s/%d\"\n", base, $0, out, NR }' "$dir/urls.txt" >"$dir/curl.conf"
  # The page cache holds the release for both runs: the Downloader's run has just read every file.
  say "Case $name: curl fetches the same $fetched URLs"
  /usr/bin/time -f '%e %M' -o "$dir/curl.time" curl --silent --show-error --fail --config "$dir/curl.conf" \
    || fail "case $name: curl failed"
  # The same again with a new connection for every URL, as the Downloader makes one per file.
  rm -rf "$dir/curl" && mkdir -p "$dir/curl"
  (cat "$dir/curl.conf" && echo 'header = "Connection: close"') >"$dir/curl-close.conf"
  /usr/bin/time -f '%e %M' -o "$dir/curl-close.time" curl --silent --show-error --fail --config "$dir/curl-close.conf" \
    || fail "case $name: curl failed"
  stop_server

  # Sanity: what both wrote is what the release holds (the large file byte for byte).
  if [ "$name" = large ]; then
    local installed
    installed=$(find "$dir/prefix" -name large.dat -type f | head -n 1)
    [ -n "$installed" ] && cmp -s "$installed" "$dir/release/files/Data/large.dat" \
      || fail "case large: the installed large.dat differs from the release's"
  fi
  local curl_bytes
  curl_bytes=$(du -sb "$dir/curl" | cut -f1)

  # The prescribed pauses: sleeps of 100 ms or more asked for, their measured durations added up.
  local p_s p_n
  local downloader_pid
  downloader_pid=$(awk '{ print $1; exit }' "$dir/sleeps.txt" 2>/dev/null || true)
  read -r p_s p_n < <(awk -v pid="$downloader_pid" '$1 == pid { total += $3; n++ } END { printf "%.2f %d\n", total, n }' \
    "$dir/sleeps.txt" 2>/dev/null || echo "0 0")
  say "Case $name: $p_n prescribed pauses, $p_s s"
  local d_s d_kib c_s c_kib
  read -r d_s d_kib < <(measured "$dir/downloader.time")
  read -r c_s c_kib < <(measured "$dir/curl.time")
  read -r n_s _ < <(measured "$dir/curl-close.time")
  results+=("$(awk -v n="$name ($files files, $((bytes / 1048576)) MiB)" -v ds="$d_s" -v cs="$c_s" -v dk="$d_kib" -v ck="$c_kib" -v ns="$n_s" -v ps="$p_s" \
    'function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" }
     BEGIN { printf "| %-28s | %8.2f | %6.2f | %8.2f | %8.2f | %6s | %6s | %8.2f | %6s | %6s | %8.1f | %8.1f |", n, ds, ps, ds - ps, cs, ratio(ds, cs), ratio(ds - ps, cs), ns, ratio(ds, ns), ratio(ds - ps, ns), dk / 1024, ck / 1024 }')")
  plot_rows+=("$name $d_s $p_s $c_s $n_s")
  say "Case $name: done ($fetched requests, curl wrote $curl_bytes bytes)"
  cp "$dir/downloader.err" "$work/$name-downloader.err" 2>/dev/null || true
  rm -rf "$dir/prefix" "$dir/curl" "$dir/release"
}

for c in $cases; do
  case "$c" in small | large) run_case "$c" ;; *) fail "unknown case $c (small or large)" ;; esac
done

echo
echo "Build: ${build_type:-(no build type)}; $(nproc) cores; $(curl --version | head -n 1 | cut -d' ' -f1-2)"
echo
echo "Dl. = the Downloader's whole first installation; pauses = the waits the installation sequence"
echo "prescribes, measured; own = Dl. less the pauses; curl = one curl process fetching the same URLs one"
echo "after another over one reused connection; new c. = the same with a new connection per URL."
echo "Ratios: the Downloader's time / curl's (whole run, then own work)."
echo
printf '| %-28s | %8s | %6s | %8s | %8s | %6s | %6s | %8s | %6s | %6s | %8s | %8s |\n' case "Dl. s" pauses "own s" \
  "curl s" ratio own "new c. s" ratio own "Dl. MiB" "curl MiB"
echo "|------------------------------|----------|--------|----------|----------|--------|--------|----------|--------|--------|----------|----------|"
printf '%s\n' "${results[@]}"

# --- Plot -------------------------------------------------------------------------------------------------
if [ -n "$plot" ]; then
  printf '%s\n' "${plot_rows[@]}" | awk '{ printf "%s %s %.2f %s %s\n", $1, $2, $2 - $3, $4, $5 }' >"$work/plot.dat"
  gnuplot <<EOF
set terminal pngcairo size 900,500 font "sans,11"
set output "$plot"
set title "First installation against curl fetching the same URLs from update-server on 127.0.0.1"
set ylabel "wall time, s"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key top left
set grid ytics
set yrange [0:*]
plot "$work/plot.dat" using 2:xtic(1) title "Downloader, whole run" lc rgb "#3b6ea5", \\
     "" using 3 title "Downloader, without the prescribed pauses" lc rgb "#7fb3e0", \\
     "" using 4 title "curl, one reused connection" lc rgb "#d9822b", \\
     "" using 5 title "curl, new connection per URL" lc rgb "#f2c14e"
EOF
  say "Plot written to $plot"
fi
