#!/bin/sh
# Makes throwaway certificates for the TLS tests and the demo in DIR, with Debian's openssl:
#   ca.pem              the CA the tests trust; other-ca.pem one they do not
#   service.pem/.key    localhost, 127.0.0.1 and what EXTRA_NAMES adds ("IP:10.1.2.3"),
#                       issued by ca; service.pin its key's SHA-256
#   expired.pem         the same key and names, issued by ca, no longer valid
#   wronghost.pem       the same key, issued by ca for wrong.invalid only
#   stranger.pem        the same key and names, issued by other-ca
#   client.pem/.key     a client issued by ca; intruder.pem the same key issued by other-ca
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1" 2>/dev/null; }
authority() {
    key "$1.key"
    openssl req -x509 -new -key "$1.key" -subj "/CN=$1" -days 2 -out "$1.pem" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign
}
# issue NAME ISSUER SUBJECT-ALT-NAMES [openssl x509 options]
issue() {
    name=$1 issuer=$2 names=$3
    shift 3
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\n' "$names" >"$name.ext"
    openssl req -new -key "${key:-service}.key" -subj "/CN=$name" -out "$name.csr"
    openssl x509 -req -in "$name.csr" -CA "$issuer.pem" -CAkey "$issuer.key" -CAcreateserial \
        -extfile "$name.ext" -out "$name.pem" "$@" 2>/dev/null
    rm "$name.csr" "$name.ext"
}
authority ca
authority other-ca
key service.key
key client.key
issue service ca "DNS:localhost,IP:127.0.0.1${EXTRA_NAMES:+,$EXTRA_NAMES}" -days 2
issue wronghost ca DNS:wrong.invalid -days 2
issue stranger other-ca DNS:localhost,IP:127.0.0.1 -days 2
# Its end a day before its start: expired from the moment it is made.
issue expired ca DNS:localhost,IP:127.0.0.1 -days -1
key=client issue client ca DNS:client -days 2
key=client issue intruder other-ca DNS:client -days 2
openssl x509 -in service.pem -pubkey -noout | openssl pkey -pubin -outform DER \
    | openssl dgst -sha256 -r | cut -d' ' -f1 >service.pin
