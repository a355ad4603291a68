#!/usr/bin/env bash
# Makes the certificates of a TLS link between the hotel system and the host, with the openssl command:
#   ca.pem / ca.key          the hotel's CA (keep ca.key off the host's machine)
#   host.pem / host.key      the host's certificate, valid for the names and addresses given
#   client.pem / client.key  the hotel system's client certificate, signed by the same CA
# Usage: scripts/make-certs.sh [--new-ca] DIR [NAME-OR-ADDRESS ...]   (default: 127.0.0.1 localhost)
#        scripts/make-certs.sh --add-client NAME DIR   one more client certificate NAME.pem/NAME.key (CN=NAME)
#                                                      under the CA already in DIR
# A DIR that already holds ca.pem and ca.key keeps its CA: host and client certificates are issued again
# under it. --new-ca replaces the CA, after which TlsClientCA and every client certificate issued before
# must be replaced too.
# Environment: CLIENT_NAME (default hotel-system), the client certificate's common name; DAYS (default 825);
# HOST_DAYS (default DAYS), the host certificate's alone: -1 makes one that expired yesterday, to see the
# host's warning.
# Keys are P-256, unencrypted, readable by their owner only.
set -euo pipefail
usage() {
  sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
  exit "${1:-2}"
}
new_ca=no
add_client=""
while [ $# -gt 0 ]; do
  case $1 in
    --new-ca) new_ca=yes; shift ;;
    --add-client)
      [ $# -ge 2 ] || usage
      add_client=$2
      shift 2
      ;;
    --help|-h) usage 0 ;;
    -*) echo "make-certs: unknown option $1" >&2; usage >&2 ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || usage
dir=$1
shift
days=${DAYS:-825}
host_days=${HOST_DAYS:-$days}

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

# sign NAME SUBJECT EXTENSIONS [DAYS]
sign() {
  key "$1.key"
  openssl req -new -key "$1.key" -subj "$2" -out "$1.csr"
  printf '%s\n' "$3" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 -days "${4:-$days}" \
    -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}
client_extensions="basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=clientAuth"

if [ -n "$add_client" ]; then
  [ "$new_ca" = no ] && [ $# -eq 0 ] || { echo "make-certs: --add-client takes only NAME and DIR" >&2; exit 2; }
  # The name becomes two file names in DIR; ca and host are taken.
  if ! [[ $add_client =~ ^[A-Za-z0-9][A-Za-z0-9._-]*$ ]] || [ "$add_client" = ca ] || [ "$add_client" = host ]; then
    echo "make-certs: '$add_client' cannot name a client certificate (letters, digits, . _ -; not ca or host)" >&2
    exit 2
  fi
  if [ ! -f "$dir/ca.pem" ] || [ ! -f "$dir/ca.key" ]; then
    echo "make-certs: $dir has no CA (ca.pem and ca.key); make one first with: scripts/make-certs.sh $dir" >&2
    exit 1
  fi
  cd "$dir"
  umask 077
  sign "$add_client" "/O=Hotel/CN=$add_client" "$client_extensions"
  rm -f ca.srl
  chmod 644 "$add_client.pem"
  echo "make-certs: $add_client.pem/$add_client.key (CN=$add_client) under the CA of $(pwd)"
  exit 0
fi

[ $# -gt 0 ] || set -- 127.0.0.1 localhost
client=${CLIENT_NAME:-hotel-system}
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

# Replacing the CA silently would break the host's TlsClientCA and every client certificate handed out.
ca_note="a new CA"
if [ -f ca.pem ] && [ "$new_ca" = no ]; then
  if [ ! -f ca.key ]; then
    echo "make-certs: $(pwd) holds ca.pem but not ca.key, so nothing can be signed under it;" \
      "copy ca.key back, or give --new-ca to replace the CA" >&2
    exit 1
  fi
  ca_note="the CA already there, kept"
else
  if [ -f ca.pem ]; then
    ca_note="a NEW CA, replacing the old one: put the new ca.pem in TlsClientCA and hand out new client certificates"
    echo "make-certs: --new-ca: replacing the CA in $(pwd)" >&2
  fi
  key ca.key
  openssl req -x509 -new -key ca.key -sha256 -days "$days" -subj "/O=Hotel/CN=Hotel key-card CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" -out ca.pem
fi

sign host "/O=Hotel/CN=$1" "basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=serverAuth
subjectAltName=$san" "$host_days"
sign client "/O=Hotel/CN=$client" "$client_extensions"
rm -f ca.srl
chmod 644 ca.pem host.pem client.pem
echo "make-certs: ca.pem ($ca_note), host.pem/host.key ($san), client.pem/client.key (CN=$client) in $(pwd)"
