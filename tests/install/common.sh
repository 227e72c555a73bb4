# Sourced by the install tests: a work folder and a demo service, both gone when the test ends
# however it ends.
set -euo pipefail

work=$(mktemp -d)
service_pid=""
cleanup() {
    if [ -n "$service_pid" ]; then
        kill "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "$(basename "$0"): $*" >&2
    exit 1
}

# Starts the demo service BINARY on a local socket of this test alone, at $service_address.
# Hosts need not wait for it: remotoctl --wait and the example host retry while it starts.
start_service() {
    service_address="local:remoto-$(basename "$0" .sh)-$$"
    "$1" --listen "$service_address" >"$work/service.out" 2>&1 &
    service_pid=$!
}

# Runs the QML example PROGRAM headless against the service, with the QML module found through
# QML2_IMPORT_PATH=DIR alone, and checks that it saved its window after the clock's first tick.
grab_qml_example() {
    env -u REMOTO_PLUGIN QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software QML2_IMPORT_PATH="$2" \
        timeout 60 "$1" --connect "$service_address" --grab "$work/window.png" >/dev/null \
        && [ -s "$work/window.png" ]
}

# Runs remotoctl list against the service with no plug-in option, as a user would.
list_objects() {
    env -u REMOTO_PLUGIN -u REMOTO_ADDRESS "$@" --connect "$service_address" --wait 10000 list
}
