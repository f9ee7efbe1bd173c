# Throw-away certificates for a lab Hub, made with the openssl command line. Source it; do
# not run it. Every file is written under the directory given.

# tls_lab_ca DIR: a CA key and certificate, DIR/ca.key and DIR/ca.pem.
tls_lab_ca() {
  mkdir -p "$1"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=LarkSpire lab CA" -keyout "$1/ca.key" -out "$1/ca.pem" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" \
    2>/dev/null
}

# tls_lab_server DIR NAME SAN [self]: DIR/NAME.key and DIR/NAME.pem for the subject
# alternative name SAN ("DNS:hub.lab", "IP:10.99.0.1"), signed by DIR's CA, or by itself
# with "self".
tls_lab_server() {
  local dir=$1 name=$2 san=$3
  # A file, not a process substitution: some systems (a minimal guest) have no /dev/fd.
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$san" \
    >"$dir/$name.ext"
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=$name" \
    -keyout "$dir/$name.key" -out "$dir/$name.csr" 2>/dev/null
  if [ "${4:-}" = self ]; then
    openssl x509 -req -in "$dir/$name.csr" -signkey "$dir/$name.key" -days 2 \
      -extfile "$dir/$name.ext" -out "$dir/$name.pem" 2>/dev/null
  else
    openssl x509 -req -in "$dir/$name.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
      -CAcreateserial -days 2 -extfile "$dir/$name.ext" -out "$dir/$name.pem" 2>/dev/null
  fi
}

# tls_lab_pin CERT: the hex SHA-256 of the certificate's public key, as hubCertSha256 takes it.
tls_lab_pin() {
  openssl x509 -in "$1" -pubkey -noout | openssl pkey -pubin -outform DER |
    openssl dgst -sha256 | sed 's/.*= //'
}
