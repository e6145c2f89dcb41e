# shellcheck shell=bash disable=SC2034  # origin and edge are for the sourcing script
# The edge on this machine, for scripts that source this file: Debian's
# nginx on loopback as the origin, serving a folder, and the edge worker
# (edge/worker.mjs with the wasm preset's module) on workerd from
# edge/node_modules, its configuration and secrets given as text bindings.
# Run from the source folder, after `npm ci` in edge/ and a wasm build.
#
#   . tools/edge-local.sh
#   edge_local_origin WORK WWW      # sets origin (http://127.0.0.1:PORT);
#                                   # nginx logs "METHOD URI RANGE STATUS"
#                                   # lines to WORK/access.log
#   edge_local_worker WORK CONFIG [NAME=TEXT]...   # sets edge
#       (the module is edge/worker.mjs, or the file edge_local_module names)
#   edge_local_stop                 # ends both (call it from an EXIT trap)
#
# Both listen on free ports of 127.0.0.1; WORK holds their configurations
# and logs (workerd.log, nginx-error.log), and must be readable by nginx's
# workers.

edge_local_pids=()

edge_local_free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

edge_local_wait_port() {  # edge_local_wait_port PORT NAME LOG
    for _ in $(seq $((200 * ${TVK_TIME_SCALE:-1}))); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then
            return 0
        fi
        sleep 0.05
    done
    echo "edge-local: $2 does not listen on port $1:" >&2
    cat "$3" >&2
    return 1
}

edge_local_origin() {  # edge_local_origin WORK WWW
    local work=$1 www=$2 port user_line=""
    port=$(edge_local_free_port)
    # nginx's workers drop to nobody unless told otherwise, and cannot read
    # a root-owned temporary folder then.
    [ "$(id -u)" -eq 0 ] && user_line="user root;"
    cat >"$work/nginx.conf" <<CONF
daemon off; pid $work/nginx.pid; error_log $work/nginx-error.log; $user_line
worker_processes 2;
events { worker_connections 1024; }
http {
    log_format edge '\$request_method \$uri \$http_range \$status';
    access_log $work/access.log edge;
    sendfile on;
    client_body_temp_path $work/t1; proxy_temp_path $work/t2; fastcgi_temp_path $work/t3;
    uwsgi_temp_path $work/t4; scgi_temp_path $work/t5;
    server { listen 127.0.0.1:$port; root $www; }
}
CONF
    nginx -e "$work/nginx-error.log" -c "$work/nginx.conf" &
    edge_local_pids+=("$!")
    edge_local_wait_port "$port" nginx "$work/nginx-error.log" || return 1
    origin="http://127.0.0.1:$port"
}

# The text bindings of workerd's configuration: TVK_EDGE_CONFIG and each
# NAME=TEXT, as Cap'n Proto text (a JSON string is one).
edge_local_bindings() {  # edge_local_bindings CONFIG [NAME=TEXT]...
    python3 - "$@" <<'PY'
import json, sys
bindings = [("TVK_EDGE_CONFIG", sys.argv[1])]
bindings += [tuple(arg.split("=", 1)) for arg in sys.argv[2:]]
print(", ".join(f"(name = {json.dumps(name)}, text = {json.dumps(text)})" for name, text in bindings))
PY
}

edge_local_worker() {  # edge_local_worker WORK CONFIG [NAME=TEXT]...
    local work=$1 port bindings
    shift
    port=$(edge_local_free_port)
    bindings=$(edge_local_bindings "$@") || return 1
    cp "${edge_local_module:-edge/worker.mjs}" "$work/worker.mjs" &&
        cp build/wasm/edge/tvk_edge.mjs build/wasm/edge/tvk_edge.wasm "$work/" || return 1
    cat >"$work/edge.capnp" <<CAPNP
using Workerd = import "/workerd/workerd.capnp";
const config :Workerd.Config = (
  services = [
    (name = "edge", worker = .edgeWorker),
    (name = "internet", network = (allow = ["public", "private", "local"])),
  ],
  sockets = [(name = "http", address = "127.0.0.1:$port", http = (), service = "edge")],
);
const edgeWorker :Workerd.Worker = (
  modules = [
    (name = "worker.mjs", esModule = embed "worker.mjs"),
    (name = "tvk_edge.mjs", esModule = embed "tvk_edge.mjs"),
    (name = "tvk_edge.wasm", wasm = embed "tvk_edge.wasm"),
  ],
  bindings = [$bindings],
  compatibilityDate = "2024-09-23",
);
CAPNP
    edge/node_modules/.bin/workerd serve "$work/edge.capnp" >"$work/workerd.log" 2>&1 &
    edge_local_worker_pid=$!
    edge_local_pids+=("$edge_local_worker_pid")
    edge_local_wait_port "$port" workerd "$work/workerd.log" || return 1
    edge="http://127.0.0.1:$port"
}

edge_local_stop() {
    local pid
    for pid in "${edge_local_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    edge_local_pids=()
}
