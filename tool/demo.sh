#!/bin/sh
# A short measurement on this machine: starts the echo responder on 127.0.0.1
# at a free UDP port, sends it a few dozen probes, shows the sender's log,
# run report and statistics, and stops the responder again.  The times come
# from the monotonic clock (--precise): loopback round trips take
# microseconds, which the default millisecond clock shows as 0.000000.
#   usage: sh tool/demo.sh [path-of-echomark]
set -u

binary=${1:-build/echomark}
probes=30

if [ ! -x "$binary" ]; then
    echo "demo: $binary is not built (run: make build)" >&2
    exit 1
fi

# True when some socket holds UDP port $1 (ss when present, else the kernel's table).
port_in_use() {
    if command -v ss >/dev/null 2>&1; then
        [ -n "$(ss -Hlun "sport = :$1" 2>/dev/null)" ]
    else
        grep -qi "^ *[0-9]*: [0-9A-F]*:$(printf '%04X' "$1") " /proc/net/udp
    fi
}

port=
candidate=$((20000 + $$ % 20000))
tries=0
while [ $tries -lt 200 ]; do
    if ! port_in_use "$candidate"; then
        port=$candidate
        break
    fi
    candidate=$((candidate + 1))
    tries=$((tries + 1))
done
if [ -z "$port" ]; then
    echo "demo: no free UDP port found" >&2
    exit 1
fi

log=$(mktemp "${TMPDIR:-/tmp}/echomark-demo.XXXXXX")
responder=
stop_responder() {
    if [ -n "$responder" ]; then
        kill "$responder" 2>/dev/null
        wait "$responder" 2>/dev/null
        responder=
    fi
    rm -f "$log"
}
trap stop_responder EXIT
trap 'exit 130' INT TERM

echo "== echo responder on 127.0.0.1:$port"
"$binary" -l -h 127.0.0.1 -p "$port" >"$log" 2>&1 &
responder=$!

# Wait (up to 5 s) until the responder holds its port.
waited=0
until port_in_use "$port"; do
    if ! kill -0 "$responder" 2>/dev/null || [ $waited -ge 50 ]; then
        echo "demo: the responder did not start:" >&2
        cat "$log" >&2
        exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
done

echo "== probe sender: $probes probes of 1024 bytes, replies of 2048 bytes, precise times and statistics"
"$binary" -h 127.0.0.1 -p "$port" -c "$probes" -t 1 --sendsize=1024 --recvsize=2048 --precise --stats
status=$?

answered=$(grep -c 'sendsize=udp_send(' "$log")
echo "== the responder answered $answered datagrams; stopping it"
exit $status
