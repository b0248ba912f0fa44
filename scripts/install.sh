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

# --- Packages and build ---------------------------------------------------------------------------------
say "Packages"
bash scripts/install-deps.sh

say "Building into $build_dir"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" --target downloader update-server voda-release standin -j"$(nproc)"

# --- Working folders --------------------------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/voda-install.XXXXXX")
server_pid=""
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
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
mkdir -p "$src/Plugins/sub" "$src/Script" "$src/Data" "$src/Tools" "$src/bank/Data" "$src/bank/Script"
# The assistant's programs are stand-ins; the Downloader itself is the assistant's own updater.
for name in ZivIV_861.exe QuillonPop.exe QuillonPop_861.exe uninst_861.exe; do cp "$bin/standin" "$src/$name"; done
cp "$bin/downloader" "$src/tellvane_861.exe"
printf 'browser guard plug-in\n' >"$src/Plugins/guard.dll"
printf 'certificate check plug-in\n' >"$src/Plugins/certcheck.dll"
printf 'network check plug-in, in a subfolder\n' >"$src/Plugins/sub/netcheck.dll"
printf 'function check() { return true; }\n' >"$src/Script/check.js"
printf '[settings]\nscan=full\n' >"$src/Data/config.dat"
printf 'repair tool\n' >"$src/Tools/repair.dat"
printf 'bank 861 data\n' >"$src/bank/Data/bank_861.dat"
printf 'function bank() { return 861; }\n' >"$src/bank/Script/bank.js"
"$bin/voda-release" publish "$src" "$work/release" --version "$version" --url '{base}/files' --update 2

# --- The update server ------------------------------------------------------------------------------------
say "Starting update-server"
"$bin/update-server" --release "$work/release" --port 0 >"$work/server.log" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's|^listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$work/server.log" | head -n 1)
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || { cat "$work/server.log" >&2; fail "update-server did not start"; }
echo "serving on http://127.0.0.1:$port"

# --- The first installation -------------------------------------------------------------------------------
# The Downloader reads serverip.dat from the folder it is started in.
run_dir="$work/run"
mkdir -p "$run_dir"
printf 'http://127.0.0.1:%s\n\n/assist/server?reqtype=1&data=\n' "$port" >"$run_dir/serverip.dat"

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
kill -TERM "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=""
echo "$(grep -c " GET " "$work/server.log" || true) requests served; $(tail -n 1 "$work/server.log")"

if [[ "$version_recorded" != "\"$version\""* ]]; then
  fail "the installation did not record version $version"
fi
say "Installed version $version into $prefix"
