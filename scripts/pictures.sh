#!/usr/bin/env bash
# Pictures of every dialog a user meets in a first installation and in an update, drawn by the window
# system's own renderer into docs/pictures/.
#
#   bash scripts/pictures.sh
#
# Builds the programs, publishes the sample release that scripts/install.sh installs, serves it with
# update-server on 127.0.0.1 and runs, headless, with a scripted user who snapshots each dialog:
#   1. a first installation into a fresh prefix: the version query (the server answers it a moment late so
#      that the dialog can be seen), the welcome page, the options page, the folder browser, the progress
#      dialog halfway through a large file (the server holds back the second half of that file for a few
#      seconds) and at its end;
#   2. an update of that installation to a newer release that the server offers (the update dialog), its
#      progress dialog halfway through a changed file and at its end, and a last start that finds the
#      installation up to date.
# The pictures replace those in the pictures folder only when every run finished.
#
# Environment:
#   VODA_BUILD_DIR     the build folder (default: build-pictures)
#   VODA_PICTURES_DIR  where the pictures go (default: docs/pictures)
#   VODA_PICTURES_KEEP 1 keeps the working folder (releases, prefix, scripts, logs) and prints where it is
set -euo pipefail

cd "$(dirname "$0")/.."
source_dir=$(pwd)
build_dir=${VODA_BUILD_DIR:-build-pictures}
case "$build_dir" in /*) ;; *) build_dir="$source_dir/$build_dir" ;; esac
pictures_dir=${VODA_PICTURES_DIR:-docs/pictures}
case "$pictures_dir" in /*) ;; *) pictures_dir="$source_dir/$pictures_dir" ;; esac
bin="$build_dir/bin"
first_version=1.0.0.1
update_version=1.0.0.2

say() { printf '\n== %s\n' "$*"; }
fail() { printf 'pictures.sh: %s\n' "$*" >&2; exit 1; }
source scripts/lib/sample-release.sh

# --- Packages and build ---------------------------------------------------------------------------------
voda_install_and_build "$build_dir"

# --- Working folders --------------------------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/voda-pictures.XXXXXX")
server_pid=""
prefix="$work/prefix"
cleanup() {
  voda_stop_server
  # The assistant's programs the runs started are stand-ins that would run until the machine shuts down.
  if [ -s "$prefix/journal.log" ]; then
    for pid in $(awk -F'\t' '$1 == "start" { alive[$2] = 1 } $1 == "end" { delete alive[$2] }
                             END { for (pid in alive) print pid }' "$prefix/journal.log"); do
      kill -TERM "$pid" 2>/dev/null || true
    done
  fi
  if [ "${VODA_PICTURES_KEEP:-0}" = 1 ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
mkdir -p "$prefix"
shots="$work/pictures"
mkdir -p "$shots"
run_dir="$work/run"
mkdir -p "$run_dir"

# FileName attributes of a release's manifests, in the order the first installation fetches them.
manifest_names() {
  cat "$1/files/Digest.xml" "$1/files/Digest_861.xml" | grep -o 'FileName="[^"]*"' | sed 's/^FileName="//; s/"$//'
}

# Runs the Downloader (arguments after the script) in the run folder with a scripted user.
run_downloader() {
  local script=$1 rc=0
  shift
  (cd "$run_dir" && env VODA_PREFIX="$prefix" VODA_UI=headless VODA_UI_SCRIPT="$script" \
     "$bin/downloader" "$@" </dev/null >"$script.log" 2>&1) || rc=$?
  if [ "$rc" -ne 0 ]; then
    grep -v "^\[ui\] dialog 135: 102[34] " "$script.log" | tail -n 20 >&2
    fail "the scripted user of $(basename "$script") failed (exit code $rc)"
  fi
  # A successful installation ends the process by itself, perhaps before the script has run to its end.
  local png
  while IFS= read -r png; do
    [ -s "$png" ] || { grep -v "^\[ui\] dialog 135: 102[34] " "$script.log" | tail -n 20 >&2; fail "the run of $(basename "$script") ended before it made $png"; }
  done < <(sed -n 's/^snapshot "\(.*\)"$/\1/p' "$script")
}

# --- The first installation -------------------------------------------------------------------------------
say "Publishing release $first_version"
voda_sample_components "$bin" "$work/components"
"$bin/voda-release" publish "$work/components" "$work/release-1" --version "$first_version" --url '{base}/files' --update 2

# The large file whose download the progress picture shows halfway, with its place in the run. The
# server sends the first half of it, then waits four seconds: a second after the file bar is partly full,
# that half has arrived and the bar and its percentage agree. (The file bar still stands at the end of
# the file before when this file's range arrives: that file's length must not be 40 to 60 percent of
# this one's.)
slow=uninst_861.exe
slow_number=$(manifest_names "$work/release-1" | grep -n -x -F "$slow" | cut -d: -f1)
file_count=$(manifest_names "$work/release-1" | wc -l)
[ -n "$slow_number" ] || fail "$slow is not in the sample release"

say "Starting update-server"
voda_start_server "$bin" "$work/release-1" "$work/server-1.log" \
  --fault '/assist/server first=1 delay 1500' --fault "/files/$slow first=1 stall 4000"
voda_write_serverip "$run_dir" "$port"

cat >"$work/first-install.txt" <<EOF
wait dialog 130 60
wait text 1029 "正在获取版本信息..."
snapshot "$shots/first-install-1-query.png"
wait dialog 132 30
snapshot "$shots/first-install-2-welcome.png"
click 1
wait dialog 134 30
snapshot "$shots/first-install-3-options.png"
click 1018
wait browser
snapshot "$shots/first-install-4-folder-browser.png"
answer cancel
wait dialog 134
click 1
wait dialog 135 30
wait text 1020 "正在下载 $slow   $slow_number/$file_count" 120
wait progress 1021 40 60 30
sleep 1000
snapshot "$shots/first-install-5-progress.png"
wait text 1020 "完成安装,准备启动助手" 120
snapshot "$shots/first-install-6-finished.png"
EOF
say "First installation (headless, snapshots of every dialog)"
run_downloader "$work/first-install.txt"
voda_stop_server

# --- The update -------------------------------------------------------------------------------------------
say "Publishing release $update_version, offered as an update"
cp -a "$work/components" "$work/components-2"
# Three changed files, in the order the update fetches them; the last, the bank's, grows to a size whose
# download shows on the file bar and arrives slowly, as above. The update fetches the common manifest's
# changed files, then, numbered over the whole list, all of them again with the bank manifest's.
changed=(Plugins/guard.dll Script/check.js bank/Script/bank.js)
printf 'browser guard plug-in, with the new rules\n' >"$work/components-2/Plugins/guard.dll"
printf 'function check() { return scan(); }\n' >"$work/components-2/Script/check.js"
{
  printf 'function bank() { return 861; }\n'
  for i in $(seq 2000); do printf 'function rule%04d() { return true; }\n' "$i"; done
} >"$work/components-2/bank/Script/bank.js"
"$bin/voda-release" publish "$work/components-2" "$work/release-2" --version "$update_version" --url '{base}/files' --update 1
slow=${changed[2]}
slow_shown=${slow#bank/}
slow_shown=${slow_shown//\//\\}

voda_start_server "$bin" "$work/release-2" "$work/server-2.log" --fault "/files/${slow#bank/} first=1 stall 4000"
voda_write_serverip "$run_dir" "$port"

cat >"$work/update.txt" <<EOF
wait dialog 139 60
snapshot "$shots/update-1-offer.png"
click 1
wait dialog 135 30
wait text 1020 "正在下载 $slow_shown   ${#changed[@]}/${#changed[@]}" 120
wait progress 1021 40 60 30
sleep 1000
snapshot "$shots/update-2-progress.png"
wait text 1020 "完成安装,准备启动助手" 120
snapshot "$shots/update-3-finished.png"
EOF
say "Update (headless, snapshots of every dialog)"
run_downloader "$work/update.txt"

cat >"$work/up-to-date.txt" <<EOF
wait box "*" 60
snapshot "$shots/update-4-up-to-date.png"
answer ok
EOF
say "A start after the update"
run_downloader "$work/up-to-date.txt"
voda_stop_server

# --- The pictures -----------------------------------------------------------------------------------------
say "Pictures in $pictures_dir"
mkdir -p "$pictures_dir"
for png in "$shots"/*.png; do
  cp "$png" "$pictures_dir/"
  printf '%8s  %s\n' "$(stat -c %s "$png")" "$(basename "$png")"
done
