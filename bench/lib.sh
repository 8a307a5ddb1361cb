# Helpers the benchmark scripts share; sourced, not run.

# A port free for TCP and UDP on the address (default 127.0.0.1).
free_port() {
    /usr/bin/python3 - "${1:-127.0.0.1}" <<'PY'
import socket, sys
for _ in range(20):
    t = socket.socket(); t.bind((sys.argv[1], 0)); port = t.getsockname()[1]
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        u.bind((sys.argv[1], port)); print(port); break
    except OSError:
        pass
    finally:
        t.close(); u.close()
PY
}

# Waits (at most 10 s) until address:port accepts connections; ends the script otherwise.
wait_port() {
    local i
    for i in $(seq 1 100); do
        (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "nothing listens on $1:$2" >&2
    exit 1
}
