#!/usr/bin/env bash
# The tour behind `make demo`: starts the demo service on a private local socket, drives it
# with remotoctl, and leaves no process or socket behind, whatever happens on the way.
set -euo pipefail

build=${1:-build}
service_bin="$build/remoto-demo-service"
ctl_bin="$build/remotoctl"
qml_bin="$build/remoto-qml-example"
name="remoto-demo-$$"
# QLocalServer keeps its socket in the temporary folder, which follows TMPDIR.
socket="${TMPDIR:-/tmp}/$name"
export REMOTO_ADDRESS="local:$name"
workdir=$(mktemp -d)
service_pid=""
monitor_pid=""

stop() {
    local pid=$1
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    stop "$monitor_pid"
    stop "$service_pid"
    rm -f "$socket"
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "demo: $*" >&2
    exit 1
}

heading() {
    printf '\n== %s\n' "$*"
}

# Shows the command as one would type it, then runs it.
run() {
    local shown="" arg
    for arg in "$@"; do
        if [[ $arg =~ ^[A-Za-z0-9_.:/=-]+$ ]]; then
            shown+=" $arg"
        else
            shown+=" '$arg'"
        fi
    done
    echo "\$ remotoctl$shown"
    "$ctl_bin" "$@"
}

# Waits up to 10 s for a file to contain a line matching a pattern.
wait_for_line() {
    local file=$1 pattern=$2 pid=$3
    for _ in $(seq 100); do
        grep -q "$pattern" "$file" && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

[ -x "$service_bin" ] && [ -x "$ctl_bin" ] && [ -x "$qml_bin" ] \
    || fail "build first: $service_bin, $ctl_bin or $qml_bin is missing"

# A throwaway CA and a certificate for 127.0.0.1 that it issued, for the TLS step.
tls="$workdir/tls"
"$(dirname "$0")/make-test-certificates.sh" "$tls" 2>/dev/null || fail "openssl could not make certificates"

heading "Starting the demo service on local:$name, and on TLS with a throwaway certificate"
"$service_bin" --listen "local:$name" --listen tls://127.0.0.1:0 --tls-cert "$tls/service.pem" \
    --tls-key "$tls/service.key" >"$workdir/service.out" &
service_pid=$!
wait_for_line "$workdir/service.out" '^listening on tls://' "$service_pid" || fail "the service did not start"
cat "$workdir/service.out"
tls_address=$(sed -n 's/^listening on \(tls:.*\)/\1/p' "$workdir/service.out")

heading "The published objects, their classes, methods and signals"
run list

heading "Calling methods (results printed as JSON; overloads told apart by argument count)"
run call calculator add 2 3
run call calculator add 1 2 3
run call calculator 'add(int,int)' 20 22
run call calculator greet newcomer
run call calculator stats '[1, 2, 3.5]'
echo "Arguments are checked against the parameter types before anything is sent:"
run call calculator add 99999999999 1 2>&1 || echo "(exit code $?)"
run call counter increment
run call counter increment
run call counter value

heading "A signal emitted on a timer: three clock ticks"
run watch clock tick --count 3

heading "Withdrawing counter and publishing it again, watched by a second remotoctl"
# Four objects present, then counter going down and coming up: six lines.
timeout 20 "$ctl_bin" monitor --count 6 >"$workdir/monitor.out" &
monitor_pid=$!
wait_for_line "$workdir/monitor.out" '^present' "$monitor_pid" || fail "the monitor did not start"
run call admin withdraw counter
run call admin republish counter
wait "$monitor_pid" || fail "the monitor did not see counter go down and come back"
monitor_pid=""
echo "What 'remotoctl monitor' printed meanwhile:"
sed 's/^/    /' "$workdir/monitor.out"
echo "counter answers again, with the state it had:"
run call counter value

heading "A script: a call, then an event handled by a function of its own"
run script -e "$(cat <<'EOF'
var counter = remoto.object("counter");
print("calculator add(2, 3) =", remoto.call("calculator", "add", 2, 3));
remoto.subscribe(counter, "changed(int)");
counter.event.connect(function (name, params) {
    print("event", name, params[0] + ", and value() says", remoto.call(counter, "value"));
    remoto.stopWaiting();
});
remoto.call(counter, "increment");
remoto.wait(5000);
EOF
)"
echo "A call the service refuses throws, and ends the script when uncaught (the service logs why):"
run script -e 'remoto.call("calculator", "add", "two", 2)' 2>&1 || echo "(exit code $?)"

heading "A Qt Quick window through the QML module Remoto, headless, grabbed after the first tick"
# The software renderer on the offscreen platform: no display and no GPU needed. Qt GUI wants a
# private runtime folder, which a root shell or a container may lack.
picture="$build/qml-example.png"
runtime_dir=${XDG_RUNTIME_DIR:-$workdir/runtime}
mkdir -p -m 700 "$runtime_dir"
echo "\$ remoto-qml-example --connect $REMOTO_ADDRESS --grab $picture"
XDG_RUNTIME_DIR=$runtime_dir QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software \
    QML2_IMPORT_PATH="$build/imports" timeout 30 "$qml_bin" --connect "$REMOTO_ADDRESS" --grab "$picture" 2>&1 \
    || fail "the QML example did not save its window"
echo "The window, as the README shows it (docs/qml-example.png), is in $picture."

heading "Over TLS, as a host on another machine would connect"
run --connect "$tls_address" --tls-ca "$tls/ca.pem" call calculator add 2 3
echo "The same service, not trusting the CA that issued its certificate:"
run --connect "$tls_address" call calculator add 2 3 2>&1 || echo "(exit code $?)"
echo "Trusting its public key instead, pinned by its SHA-256:"
run --connect "$tls_address" --tls-pin "$(cat "$tls/service.pin")" call calculator add 2 3

heading "Calling something that is not there"
run call calculator divide 1 2 2>&1 || echo "(exit code $?)"

heading "Stopping the service"
stop "$service_pid"
pid=$service_pid
service_pid=""
! kill -0 "$pid" 2>/dev/null || fail "the service is still running"
[ ! -e "$socket" ] || fail "the socket $socket was left behind"
echo "The service has stopped and its socket is gone."
