#!/bin/sh
# The demo service in a network namespace of its own, reached over TLS through a veth pair at an
# address that is not loopback, as from another machine: a host with a client certificate gets
# in, one without is refused. Needs root; skipped (exit 77) with a message when not root or when
# the namespace or the pair cannot be made.
# Usage: netns-tls.sh SERVICE REMOTOCTL CERTIFICATE-SCRIPT
set -u
service=$1 ctl=$2 certificates=$3
ns=remoto-tls-$$
outside=rt-o$$
inside=rt-i$$
subnet=10.231.$(($$ % 250))
near=$subnet.1
far=$subnet.2
work=$(mktemp -d)
pid=

cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    ip link del "$outside" 2>/dev/null
    ip netns del "$ns" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
skip() {
    echo "skipped: $*"
    exit 77
}
fail() {
    echo "netns-tls: $*" >&2
    [ -f "$work/service.out" ] && sed 's/^/service: /' "$work/service.out" >&2
    exit 1
}

[ "$(id -u)" = 0 ] || skip "not root, so no network namespace"
ip netns add "$ns" 2>/dev/null || skip "cannot make a network namespace"
{ ip link add "$outside" type veth peer name "$inside" && ip link set "$inside" netns "$ns" &&
    ip addr add "$near/30" dev "$outside" && ip link set "$outside" up &&
    ip -n "$ns" addr add "$far/30" dev "$inside" && ip -n "$ns" link set "$inside" up; } \
    2>/dev/null || skip "cannot link the namespace through a veth pair"

EXTRA_NAMES="IP:$far" sh "$certificates" "$work" >/dev/null 2>&1 || fail "openssl made no certificates"
ip netns exec "$ns" "$service" --listen "tls://$far:4711" --tls-cert "$work/service.pem" \
    --tls-key "$work/service.key" --tls-ca "$work/ca.pem" >"$work/service.out" 2>&1 &
pid=$!
for _ in $(seq 100); do
    grep -q '^listening on' "$work/service.out" && break
    kill -0 "$pid" 2>/dev/null || fail "the service did not start"
    sleep 0.1
done

sum=$("$ctl" --connect "tls://$far:4711" --tls-ca "$work/ca.pem" --tls-cert "$work/client.pem" \
    --tls-key "$work/client.key" --wait 5000 call calculator add 2 3) || fail "no answer over TLS"
[ "$sum" = 5 ] || fail "2 + 3 came back as $sum"
if "$ctl" --connect "tls://$far:4711" --tls-ca "$work/ca.pem" call calculator add 2 3 \
    >/dev/null 2>&1; then
    fail "a host without a client certificate got in"
fi
echo "reached tls://$far:4711 from outside its namespace; a host without a certificate was refused"
