#!/usr/bin/env bash
# The Downloader's main job from nothing: installs the packages, builds the programs, publishes a sample
# release, serves it with update-server on 127.0.0.1, and runs a first installation into a fresh prefix.
#
#   bash scripts/install.sh
#
# With a display (DISPLAY or WAYLAND_DISPLAY) the dialogs open as real windows and you click through them;
# without one the run is headless and a scripted user accepts every default, while the dialogs' texts are
# shown on the terminal. Afterwards the script prints what was installed: the files, the registry records
# and the programs that were started, and stops the server. Exit code 0 when the installation finished.
#
# Environment:
#   VODA_PREFIX     the machine to install into: a folder that does not exist yet or is empty
#                   (default: a new temporary folder, kept afterwards so that you can look into it)
#   VODA_UI         headless or gtk, to choose yourself
#   VODA_UI_SCRIPT  a scripted user of your own (docs/ui-script.md) instead of accepting the defaults
#   VODA_BUILD_DIR  the build folder (default: build)
set -euo pipefail

cd "$(dirname "$0")/.."
source_dir=$(pwd)
build_dir=${VODA_BUILD_DIR:-build}
case "$build_dir" in /*) ;; *) build_dir="$source_dir/$build_dir" ;; esac
bin="$build_dir/bin"
version=1.0.0.1

say() { printf '\n== %s\n' "$*"; }
fail() { printf 'install.sh: %s\n' "$*" >&2; exit 1; }
source scripts/lib/sample-release.sh

# --- Packages and build ---------------------------------------------------------------------------------
voda_install_and_build "$build_dir"

# --- Working folders --------------------------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/voda-install.XXXXXX")
server_pid=""
cleanup() {
  voda_stop_server
  rm -rf "$work"
}
trap cleanup EXIT

if [ -n "${VODA_PREFIX:-}" ]; then
  prefix=$VODA_PREFIX
  if [ -e "$prefix" ] && [ -n "$(ls -A "$prefix" 2>/dev/null)" ]; then
    fail "VODA_PREFIX $prefix is not empty; a first installation needs a fresh machine"
  fi
  mkdir -p "$prefix"
else
  prefix=$(mktemp -d "${TMPDIR:-/tmp}/voda-prefix.XXXXXX")
fi
prefix=$(cd "$prefix" && pwd -P)

# --- The sample release -----------------------------------------------------------------------------------
say "Publishing release $version"
src="$work/components"
voda_sample_components "$bin" "$src"
"$bin/voda-release" publish "$src" "$work/release" --version "$version" --url '{base}/files' --update 2

# --- The update server ------------------------------------------------------------------------------------
say "Starting update-server"
voda_start_server "$bin" "$work/release" "$work/server.log"
echo "serving on http://127.0.0.1:$port"

# --- The first installation -------------------------------------------------------------------------------
run_dir="$work/run"
mkdir -p "$run_dir"
voda_write_serverip "$run_dir" "$port"

ui=${VODA_UI:-}
if [ -z "$ui" ]; then
  if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then ui=gtk; else ui=headless; fi
fi
env_args=(VODA_PREFIX="$prefix" VODA_UI="$ui")
if [ -n "${VODA_UI_SCRIPT:-}" ]; then
  [ -r "$VODA_UI_SCRIPT" ] || fail "cannot read VODA_UI_SCRIPT $VODA_UI_SCRIPT"
  env_args+=(VODA_UI_SCRIPT="$(cd "$(dirname "$VODA_UI_SCRIPT")" && pwd -P)/$(basename "$VODA_UI_SCRIPT")")
  say "Installing into $prefix ($ui, the user is $VODA_UI_SCRIPT)"
elif [ "$ui" = headless ]; then
  # A user who accepts every default: the install page, the options page, then waits for the end.
  cat >"$work/accept-defaults.txt" <<'EOF'
wait dialog 130 60
wait dialog 132 60
click 1
wait dialog 134 30
click 1
wait dialog 135 30
wait text 1020 "完成安装,准备启动助手" 600
EOF
  env_args+=(VODA_UI_SCRIPT="$work/accept-defaults.txt")
  say "Installing into $prefix (headless, accepting the defaults)"
else
  say "Installing into $prefix (the dialogs open on your display)"
fi

touch "$work/before-install"
sleep 1  # file times below are compared with the marker
rc=0
(cd "$run_dir" && env "${env_args[@]}" "$bin/downloader" </dev/null) || rc=$?
[ "$rc" -eq 0 ] || fail "the downloader ended with code $rc (the scripted user could not finish)"

# --- What was installed -----------------------------------------------------------------------------------
say "Files written into the machine"
(cd "$prefix" && find drive_c -type f -newer "$work/before-install" -printf '%10s  %p\n' | sort -k2)

say "Shortcuts"
found_links=0
while IFS= read -r -d '' link; do
  found_links=1
  target=$(lnkinfo "$link" 2>/dev/null | sed -n 's/^[[:space:]]*Local path[[:space:]]*: //p' | head -n 1)
  printf '  %s\n    -> %s\n' "${link#"$prefix"/}" "${target:-(lnkinfo cannot read it)}"
done < <(find "$prefix/drive_c" -name '*.lnk' -newer "$work/before-install" -print0 | sort -z)
[ "$found_links" = 1 ] || echo "(none)"

say "Registry records"
# REG_SZ values are stored as their bytes (hex(1)), so that a text without its terminating zero stays so.
decode() {
  local hex=$1 bytes terminated=""
  bytes=$(($(tr -cd ',' <<<"$hex" | wc -c) + 1))
  if [[ "$hex" == *,00 || "$hex" == 00 ]]; then terminated=", with its terminating zero"; hex=${hex%00}; hex=${hex%,}; fi
  printf '"%b" (REG_SZ, %d bytes%s)' "$( [ -n "$hex" ] && sed 's/^/\\x/; s/,/\\x/g' <<<"$hex")" "$bytes" "$terminated"
}
show=0
version_recorded=""
while IFS= read -r line; do
  line=${line%$'\r'}  # the registry file has Windows line ends
  if [[ "$line" == "["* ]]; then
    show=0
    if [[ "$line" =~ NOVRA|\\Uninstall\\|\\CurrentVersion\\Run\] ]]; then show=1; printf '\n%s\n' "$line"; fi
    product=0
    [[ "$line" =~ NOVRA\\[0-9a-fA-F]+\]$ ]] && product=1
    continue
  fi
  [ "$show" = 1 ] && [ -n "$line" ] || continue
  if [[ "$line" =~ ^(\"[^\"]*\")=hex\(1\):([0-9a-f,]*)$ ]]; then
    text=$(decode "${BASH_REMATCH[2]}")
    printf '  %s = %s\n' "${BASH_REMATCH[1]}" "$text"
    [ "$product" = 1 ] && [ "${BASH_REMATCH[1]}" = '"Version"' ] && version_recorded=$text
  else
    printf '  %s\n' "$line"
  fi
done <"$prefix/registry.reg"

say "Programs started"
if [ -s "$prefix/journal.log" ]; then
  awk -F'\t' '{ printf "%-6s pid %-7s %-22s %-8s %s\n", $1, $2, $3, $4, $5 }' "$prefix/journal.log"
else
  echo "(none)"
fi

# The assistant's programs the run started are stand-ins; they would run until the machine shuts down.
running=$(awk -F'\t' '$1 == "start" { alive[$2] = $3 } $1 == "end" { delete alive[$2] }
                      END { for (pid in alive) print pid }' "$prefix/journal.log" 2>/dev/null || true)
if [ -n "$running" ]; then
  say "Stopping the assistant's programs the run started"
  for pid in $running; do
    if kill -TERM "$pid" 2>/dev/null; then echo "stopped pid $pid"; fi
  done
fi

say "Stopping update-server"
voda_stop_server
echo "$(grep -c " GET " "$work/server.log" || true) requests served; $(tail -n 1 "$work/server.log")"

if [[ "$version_recorded" != "\"$version\""* ]]; then
  fail "the installation did not record version $version"
fi
say "Installed version $version into $prefix"
