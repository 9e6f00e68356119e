#!/usr/bin/env bash
# Makes the certificates the loopback HTTPS servers of the tests and the demo use:
#   ca.pem            an authority that the builds under test trust in addition to the system's
#   server.pem/.key   127.0.0.1 and localhost, signed by that authority
#   untrusted.pem/.key  127.0.0.1 and localhost, self-signed (no build trusts it)
#   wrongname.pem/.key  another host name, signed by the authority
#   expired.pem/.key  127.0.0.1 and localhost, signed by the authority, valid only in 2020
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
    local name=$1 san=$2
    quiet openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=$name"
    printf 'subjectAltName=%s\nbasicConstraints=CA:false\nextendedKeyUsage=serverAuth\n' "$san" > "$name.ext"
    quiet openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -out "$name.pem" \
        -days 3650 -extfile "$name.ext"
    rm -f "$name.csr" "$name.ext"
}
leaf server "IP:127.0.0.1,DNS:localhost"
leaf wrongname "DNS:elsewhere.invalid"
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout untrusted.key -out untrusted.pem -days 3650 \
    -subj "/CN=untrusted" -addext "subjectAltName=IP:127.0.0.1,DNS:localhost"

# Back-dated validity needs the "ca" command and its little database.
mkdir -p authority
: > authority/index.txt
echo 01 > authority/serial
cat > authority/ca.cnf <<'CONF'
[ca]
default_ca = loopback
[loopback]
database = authority/index.txt
serial = authority/serial
new_certs_dir = authority
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
CONF
quiet openssl req -newkey rsa:2048 -nodes -keyout expired.key -out expired.csr -subj "/CN=expired" \
    -addext "subjectAltName=IP:127.0.0.1,DNS:localhost"
quiet openssl ca -batch -config authority/ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem \
    -startdate 20200101000000Z -enddate 20210101000000Z -notext
rm -f expired.csr
