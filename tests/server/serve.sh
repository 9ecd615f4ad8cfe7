#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Starts and stops named instances of the test web server for CTest fixtures, and runs
# commands with a server's port filled in.
#
#   serve.sh [--dir DIR] start NAME ROOT [test_server.py options...]
#       starts test_server.py --root ROOT on a free port in the background, waits until it
#       listens, and prints the port; the state lives in DIR/NAME.port, NAME.pid, NAME.log
#   serve.sh [--dir DIR] stop NAME
#       stops that server (SIGTERM, then SIGKILL after 5 s) and removes its state files
#   serve.sh [--dir DIR] port NAME
#       prints the port of a running server
#   serve.sh [--dir DIR] run NAME COMMAND [ARGS...]
#       runs COMMAND with MORVEK_TEST_PORT=<port> in its environment and every "@PORT@"
#       in its arguments replaced by the port (under Wine the variable reaches the
#       Windows program too)
#
# DIR defaults to $MORVEK_SERVER_DIR, else ./servers. The CMake helper
# tests/server/test_server.cmake passes <build dir>/servers.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
dir=${MORVEK_SERVER_DIR:-$PWD/servers}
if [ "${1:-}" = "--dir" ]; then
  dir=$2
  shift 2
fi
usage() {
  sed -n '4,17p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
[ $# -ge 2 ] || usage
action=$1
name=$2
shift 2
port_file="$dir/$name.port"
pid_file="$dir/$name.pid"
log_file="$dir/$name.log"

read_port() {
  if [ ! -s "$port_file" ]; then
    echo "serve.sh: server '$name' is not running (no $port_file)" >&2
    exit 1
  fi
  tr -d '[:space:]' <"$port_file"
}

# True while the process runs; a zombie waiting to be reaped counts as stopped.
alive() {
  local state
  [ -r "/proc/$1/stat" ] || return 1
  read -r _ _ state _ <"/proc/$1/stat" || return 1
  [ "$state" != Z ]
}

# True when the process is a test server, so that a recycled pid of another program is
# never touched.
is_server() {
  tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null | grep -q test_server.py
}

stop_server() {
  [ -f "$pid_file" ] || return 0
  local pid
  pid=$(cat "$pid_file")
  if alive "$pid" && is_server "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      alive "$pid" || break
      sleep 0.1
    done
    if alive "$pid"; then
      kill -KILL "$pid" 2>/dev/null || true
    fi
  fi
  rm -f "$pid_file" "$port_file"
}

case "$action" in
  start)
    [ $# -ge 1 ] || usage
    root=$1
    shift
    mkdir -p "$dir"
    stop_server
    python3 "$here/test_server.py" --root "$root" --port-file "$port_file" "$@" \
      </dev/null >"$log_file" 2>&1 &
    pid=$!
    echo "$pid" >"$pid_file"
    for _ in $(seq 300); do
      if [ -s "$port_file" ]; then
        read_port
        echo
        exit 0
      fi
      if ! alive "$pid"; then
        echo "serve.sh: server '$name' did not start:" >&2
        cat "$log_file" >&2
        rm -f "$pid_file"
        exit 1
      fi
      sleep 0.1
    done
    echo "serve.sh: server '$name' did not listen within 30 s:" >&2
    cat "$log_file" >&2
    stop_server
    exit 1
    ;;
  stop)
    stop_server
    ;;
  port)
    read_port
    echo
    ;;
  run)
    [ $# -ge 1 ] || usage
    port=$(read_port)
    args=()
    for a in "$@"; do
      args+=("${a//@PORT@/$port}")
    done
    MORVEK_TEST_PORT=$port exec "${args[@]}"
    ;;
  *)
    usage
    ;;
esac
