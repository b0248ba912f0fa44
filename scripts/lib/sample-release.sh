# Shared pieces of the scripts that run the Downloader against the bundled update server: installing
# the packages and building the programs, the sample release's components, starting and stopping
# update-server, and the serverip.dat that points the Downloader at it. Sourced by scripts/install.sh
# and scripts/pictures.sh; the caller sets `set -euo pipefail` and defines fail() and say().

# voda_install_and_build BUILD_DIR
# Installs the Debian packages and builds the four programs the runs need into BUILD_DIR. The caller
# defines say().
voda_install_and_build() {
  local build_dir=$1
  say "Packages"
  bash scripts/install-deps.sh
  say "Building into $build_dir"
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build_dir" --target downloader update-server voda-release standin -j"$(nproc)"
}

# voda_sample_components BIN DIR
# Lays out the sample release's components in DIR (made if missing), with the programs of the build's
# BIN folder: stand-ins under the assistant programs' names, the Downloader itself as tellvane_861.exe
# (it is the assistant's own updater), plug-ins, scripts and data files in the standard folders and one
# subfolder, and two bank files.
voda_sample_components() {
  local bin=$1 src=$2 name
  mkdir -p "$src/Plugins/sub" "$src/Script" "$src/Data" "$src/Tools" "$src/bank/Data" "$src/bank/Script"
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
}

# voda_start_server BIN RELEASE LOG [update-server options...]
# Starts update-server on a free port of 127.0.0.1 with its output in LOG and waits until it listens.
# Sets server_pid and port; fails when the server does not start.
voda_start_server() {
  local bin=$1 release=$2 log=$3
  shift 3
  "$bin/update-server" --release "$release" --port 0 "$@" >"$log" 2>&1 &
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

# voda_stop_server: ends the server voda_start_server started (if it still runs) and clears server_pid.
voda_stop_server() {
  if [ -n "${server_pid:-}" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  server_pid=""
}

# voda_write_serverip DIR PORT
# The Downloader reads serverip.dat from the folder it is started in: base URL, path prefix, query path.
voda_write_serverip() {
  printf 'http://127.0.0.1:%s\n\n/assist/server?reqtype=1&data=\n' "$2" >"$1/serverip.dat"
}
