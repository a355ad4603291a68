#!/usr/bin/env bash
# Makes the certificates of a TLS link between the hotel system and the host, with the openssl command:
#   ca.pem / ca.key          the hotel's CA (keep ca.key off the host's machine)
#   host.pem / host.key      the host's certificate, valid for the names and addresses given
#   client.pem / client.key  the hotel system's client certificate, signed by the same CA
# Usage: scripts/make-certs.sh DIR [NAME-OR-ADDRESS ...]   (default: 127.0.0.1 localhost)
# Environment: CLIENT_NAME (default hotel-system), the client certificate's common name; DAYS (default 825);
# HOST_DAYS (default DAYS), the host certificate's alone: -1 makes one that expired yesterday, to see the
# host's warning.
# Files already in DIR are replaced. Keys are P-256, unencrypted, readable by their owner only.
set -euo pipefail
if [ $# -lt 1 ] || [ "${1#-}" != "$1" ]; then
  sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
dir=$1
shift
[ $# -gt 0 ] || set -- 127.0.0.1 localhost
client=${CLIENT_NAME:-hotel-system}
days=${DAYS:-825}
host_days=${HOST_DAYS:-$days}
mkdir -p "$dir"
cd "$dir"
umask 077

san=""
for name in "$@"; do
  if [[ $name =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    san+="${san:+,}IP:$name"
  else
    san+="${san:+,}DNS:$name"
  fi
done

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

key ca.key
openssl req -x509 -new -key ca.key -sha256 -days "$days" -subj "/O=Hotel/CN=Hotel key-card CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" -out ca.pem

# sign NAME SUBJECT EXTENSIONS [DAYS]
sign() {
  key "$1.key"
  openssl req -new -key "$1.key" -subj "$2" -out "$1.csr"
  printf '%s\n' "$3" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 -days "${4:-$days}" \
    -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}
sign host "/O=Hotel/CN=$1" "basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=serverAuth
subjectAltName=$san" "$host_days"
sign client "/O=Hotel/CN=$client" "basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=clientAuth"
rm -f ca.srl
chmod 644 ca.pem host.pem client.pem
echo "make-certs: ca.pem, host.pem/host.key ($san), client.pem/client.key (CN=$client) in $(pwd)"
