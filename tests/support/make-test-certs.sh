#!/usr/bin/env bash
# Makes the certificates the loopback HTTPS servers of the tests and the demo use:
#   ca.pem            an authority that the builds under test trust in addition to the system's
#   server.pem/.key   127.0.0.1 and localhost, signed by that authority
#   untrusted.pem/.key  127.0.0.1 and localhost, self-signed (no build trusts it)
#   wrongname.pem/.key  another host name, signed by the authority
#   expired.pem/.key  127.0.0.1 and localhost, signed by the authority, expired since yesterday
set -euo pipefail
out=${1:?output folder}
mkdir -p "$out"
cd "$out"
[ -s server.pem ] && [ -s ca.pem ] && [ -s untrusted.pem ] && [ -s wrongname.pem ] && [ -s expired.pem ] && exit 0

quiet() { "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; }

quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
    -subj "/CN=Loopback Test Authority" -addext "basicConstraints=critical,CA:true" \
    -addext "keyUsage=critical,keyCertSign,cRLSign"

leaf() {
    local name=$1 san=$2 days=$3
    quiet openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=$name"
    printf 'subjectAltName=%s\nbasicConstraints=CA:false\nextendedKeyUsage=serverAuth\n' "$san" > "$name.ext"
    quiet openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -out "$name.pem" \
        -days "$days" -extfile "$name.ext"
    rm -f "$name.csr" "$name.ext"
}
leaf server "IP:127.0.0.1,DNS:localhost" 3650
leaf wrongname "DNS:elsewhere.invalid" 3650
# Valid until yesterday.
leaf expired "IP:127.0.0.1,DNS:localhost" -1
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout untrusted.key -out untrusted.pem -days 3650 \
    -subj "/CN=untrusted" -addext "subjectAltName=IP:127.0.0.1,DNS:localhost"
