#!/bin/sh
# Throw-away certificates for the local service double: a test CA that the
# test Wine prefix trusts, a server certificate it signs (valid for localhost
# and 127.0.0.1), and a second CA that nothing trusts, with its own server
# certificate, for the refused-certificate tests.
#   make_certs.sh OUTDIR
# Does nothing when every file is there, verifies against its CA and stays
# valid for another day; otherwise makes them all again (30 days).
set -eu
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
out="$1"
mkdir -p "$out"
cd "$out"

fresh() {
  for f in ca.pem ca.der ca.key server.pem server.key untrusted-ca.pem untrusted.pem untrusted.key; do
    [ -s "$f" ] || return 1
  done
  for c in ca.pem server.pem untrusted-ca.pem untrusted.pem; do
    openssl x509 -checkend 86400 -noout -in "$c" >/dev/null 2>&1 || return 1
  done
  openssl verify -CAfile ca.pem server.pem >/dev/null 2>&1 || return 1
  openssl verify -CAfile untrusted-ca.pem untrusted.pem >/dev/null 2>&1 || return 1
}
if fresh; then
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'subjectAltName=DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' > "$work/server.ext"
printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\nsubjectKeyIdentifier=hash\n' > "$work/ca.ext"

make_pair() {  # CA-name CA-file-prefix server-file-prefix
  openssl req -new -newkey rsa:2048 -nodes -keyout "$work/$2.key" -out "$work/$2.csr" -subj "/CN=$1" 2>/dev/null
  openssl x509 -req -in "$work/$2.csr" -signkey "$work/$2.key" -days 30 -sha256 -extfile "$work/ca.ext" \
    -out "$work/$2.pem" 2>/dev/null
  openssl req -new -newkey rsa:2048 -nodes -keyout "$work/$3.key" -out "$work/$3.csr" -subj "/CN=localhost" 2>/dev/null
  openssl x509 -req -in "$work/$3.csr" -CA "$work/$2.pem" -CAkey "$work/$2.key" -set_serial "0x$(openssl rand -hex 8)" \
    -days 30 -sha256 -extfile "$work/server.ext" -out "$work/$3.pem" 2>/dev/null
}
make_pair "Velmarquin test CA" ca server
make_pair "Velmarquin untrusted CA" untrusted-ca untrusted
openssl x509 -in "$work/ca.pem" -outform der -out "$work/ca.der"
# Move the set in only once it is complete.
for f in ca.pem ca.der ca.key server.pem server.key untrusted-ca.pem untrusted-ca.key untrusted.pem untrusted.key; do
  mv -f "$work/$f" "$f"
done
rm -f ca.srl untrusted-ca.srl
fresh || { echo "the certificates made do not verify" >&2; exit 1; }
echo "certificates written to $out"
