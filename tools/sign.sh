#!/usr/bin/env bash
# Authenticode signing of pATU.exe with the vendor's key (osslsigncode), for ./run dist.
#   sign.sh check        checks the key that the environment names, without signing
#   sign.sh sign IN OUT  signs the program IN into OUT; OUT is written only once signed
#   sign.sh guide IN OUT the guide IN with the signer's name, as Windows shows it, in place
#                        of the text between each <!--signer--> and <!--/signer--> (OUT)
# The key, from a PKCS#12 file:
#   PATU_SIGN_PKCS12         the file (key and certificate chain)
#   PATU_SIGN_PASSWORD_FILE  a file holding its password (its first line), so that the
#                            password never shows on a command line
# or from a PKCS#11 token:
#   PATU_SIGN_PKCS11_MODULE  the token's PKCS#11 module (a .so)
#   PATU_SIGN_PKCS11_KEY     the key, as a pkcs11: URI
#   PATU_SIGN_CERT           the certificate chain (PEM), the signing certificate first
#   PATU_SIGN_PASSWORD_FILE  optional: a file holding the token's PIN
# and, for either:
#   PATU_SIGN_TSA            optional: the URL of an RFC 3161 time-stamp authority, whose
#                            time stamp keeps the signature valid after the certificate expires
# PATU_OSSLSIGNCODE names another osslsigncode; PATU_PKCS11_ENGINE an OpenSSL engine for
# PKCS#11 (a .so) other than OpenSSL's engine "pkcs11", which libengine-pkcs11-openssl installs.
set -euo pipefail
osslsigncode=${PATU_OSSLSIGNCODE:-osslsigncode}
engine=${PATU_PKCS11_ENGINE:-$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so}

fail() {
  echo "sign: $*" >&2
  exit 1
}

readable() {  # readable VARIABLE WHAT
  local file=${!1:-}
  [ -n "$file" ] || fail "$1 is not set: it must name $2"
  if [ ! -f "$file" ] || [ ! -r "$file" ]; then fail "$1=$file: no such file to read ($2)"; fi
}

# The token's PIN or the PKCS#12 file's password: the first line of PATU_SIGN_PASSWORD_FILE.
# osslsigncode 2.5 reads the whole file, a trailing line break included; it gets a copy
# holding the line alone, in a private temporary file.
secret_copy=
secret() {
  secret_copy=$(mktemp)
  chmod 600 "$secret_copy"
  head -n1 "$PATU_SIGN_PASSWORD_FILE" | tr -d '\r\n' >"$secret_copy"
}
trap 'if [ -n "$secret_copy" ]; then rm -f "$secret_copy"; fi' EXIT

# The label of the token that a pkcs11: URI names (its token= attribute, %-decoded).
uri_token() {
  local attribute value
  IFS=';' read -ra attributes <<<"${1#pkcs11:}"
  for attribute in "${attributes[@]}"; do
    if [[ $attribute == token=* ]]; then
      value=${attribute#token=}
      printf '%b' "${value//%/\\x}"
      return 0
    fi
  done
}

check() {
  local pkcs12=${PATU_SIGN_PKCS12:-} module=${PATU_SIGN_PKCS11_MODULE:-}
  command -v "$osslsigncode" >/dev/null || fail "$osslsigncode is not installed"
  if [ -n "$pkcs12" ] && [ -n "$module${PATU_SIGN_PKCS11_KEY:-}" ]; then
    fail "both PATU_SIGN_PKCS12 and PATU_SIGN_PKCS11_* are set: name one key"
  fi
  if [ -n "$pkcs12" ]; then
    readable PATU_SIGN_PKCS12 "the PKCS#12 file"
    readable PATU_SIGN_PASSWORD_FILE "the file holding the PKCS#12 file's password"
    local why
    why=$(openssl pkcs12 -in "$pkcs12" -passin "file:$PATU_SIGN_PASSWORD_FILE" -noout 2>&1) ||
      fail "the password in $PATU_SIGN_PASSWORD_FILE does not open $pkcs12 (a wrong password?):" \
        "$(head -n1 <<<"$why")"
    echo "key: the PKCS#12 file $pkcs12"
    openssl pkcs12 -in "$pkcs12" -passin "file:$PATU_SIGN_PASSWORD_FILE" -nokeys -clcerts |
      openssl x509 -noout -subject -nameopt oneline,-esc_msb | sed 's/^subject=/signer: /'
  elif [ -n "$module${PATU_SIGN_PKCS11_KEY:-}${PATU_SIGN_CERT:-}" ]; then
    readable PATU_SIGN_PKCS11_MODULE "the token's PKCS#11 module"
    readable PATU_SIGN_CERT "the signing certificate chain (PEM)"
    [ -f "$engine" ] || fail "no OpenSSL PKCS#11 engine at $engine (libengine-pkcs11-openssl)"
    local uri=${PATU_SIGN_PKCS11_KEY:-} token slots
    [[ $uri == pkcs11:* ]] || fail "PATU_SIGN_PKCS11_KEY must be a pkcs11: URI, not '$uri'"
    if [ -n "${PATU_SIGN_PASSWORD_FILE:-}" ]; then
      readable PATU_SIGN_PASSWORD_FILE "the file holding the token's PIN"
    fi
    openssl x509 -in "$PATU_SIGN_CERT" -noout 2>/dev/null ||
      fail "PATU_SIGN_CERT=$PATU_SIGN_CERT holds no PEM certificate"
    slots=$(pkcs11-tool --module "$module" --list-token-slots 2>&1) ||
      fail "the PKCS#11 module $module does not load: $(head -n1 <<<"$slots")"
    token=$(uri_token "$uri")
    if [ -n "$token" ]; then
      grep -qE "token label +: $token *$" <<<"$slots" ||
        fail "the token '$token' is not there (is it plugged in?); module $module sees:" \
          "$(grep -E 'token label' <<<"$slots" | sed 's/.*: //' | tr '\n' ' ' || true)"
    elif ! grep -q "token label" <<<"$slots"; then
      fail "no token is there (is it plugged in?); module $module"
    fi
    echo "key: $uri (module $module)"
    openssl x509 -in "$PATU_SIGN_CERT" -noout -subject -nameopt oneline,-esc_msb |
      sed 's/^subject=/signer: /'
  else
    fail "no key given: set PATU_SIGN_PKCS12 or PATU_SIGN_PKCS11_MODULE"
  fi
  if [ -n "${PATU_SIGN_TSA:-}" ]; then
    [[ $PATU_SIGN_TSA == http://* || $PATU_SIGN_TSA == https://* ]] ||
      fail "PATU_SIGN_TSA must be an http:// or https:// URL, not '$PATU_SIGN_TSA'"
    echo "time stamp: $PATU_SIGN_TSA"
  fi
}

sign() {
  local in=$1 out=$2 partial=$2.signing
  check >/dev/null
  local args=(sign -h sha256 -n pATU)
  if [ -n "${PATU_SIGN_PKCS12:-}" ]; then
    secret
    args+=(-pkcs12 "$PATU_SIGN_PKCS12" -readpass "$secret_copy")
  else
    # Named only when not OpenSSL's own: osslsigncode 2.5 loads a named one as a "dynamic"
    # engine, which refuses libengine-pkcs11-openssl's.
    if [ -n "${PATU_PKCS11_ENGINE:-}" ]; then args+=(-pkcs11engine "$engine"); fi
    args+=(-pkcs11module "$PATU_SIGN_PKCS11_MODULE" -key "$PATU_SIGN_PKCS11_KEY"
      -certs "$PATU_SIGN_CERT")
    if [ -n "${PATU_SIGN_PASSWORD_FILE:-}" ]; then
      secret
      args+=(-readpass "$secret_copy")
    fi
  fi
  if [ -n "${PATU_SIGN_TSA:-}" ]; then args+=(-ts "$PATU_SIGN_TSA"); fi
  rm -f "$partial"
  local log
  if ! log=$("$osslsigncode" "${args[@]}" -in "$in" -out "$partial" 2>&1) ||
    [ ! -s "$partial" ]; then
    rm -f "$partial"
    fail "osslsigncode could not sign $in:"$'\n'"$log"
  fi
  mv -f "$partial" "$out"
}

# The signing certificate (PEM), the first of the chain.
certificate() {
  if [ -n "${PATU_SIGN_PKCS12:-}" ]; then
    openssl pkcs12 -in "$PATU_SIGN_PKCS12" -passin "file:$PATU_SIGN_PASSWORD_FILE" -nokeys \
      -clcerts 2>/dev/null
  else
    cat "$PATU_SIGN_CERT"
  fi
}

# The name Windows shows as the signer's: the certificate's common name, else its
# organisation.
signer_name() {
  local fields name
  fields=$(certificate | openssl x509 -noout -subject -nameopt multiline,utf8,-esc_msb)
  name=$(sed -n 's/^ *commonName *= //p' <<<"$fields" | head -n1)
  [ -n "$name" ] || name=$(sed -n 's/^ *organizationName *= //p' <<<"$fields" | head -n1)
  [ -n "$name" ] || fail "the signing certificate names no one (no CN, no O)"
  printf '%s' "$name"
}

guide() {
  local in=$1 out=$2 name
  check >/dev/null
  name=$(signer_name | sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g')
  grep -q '<!--signer-->' "$in" || fail "$in has no <!--signer--> to fill"
  # The name goes in literally: sed would read & and \ in it.
  NAME=$name perl -pe 's/<!--signer-->.*?<!--\/signer-->/$ENV{NAME}/g' "$in" >"$out"
}

case "${1:-}" in
  check) check ;;
  guide)
    [ $# -eq 3 ] || fail "usage: sign.sh guide IN OUT"
    guide "$2" "$3"
    ;;
  sign)
    [ $# -eq 3 ] || fail "usage: sign.sh sign IN OUT"
    sign "$2" "$3"
    ;;
  *)
    echo "usage: sign.sh check | sign.sh sign IN OUT | sign.sh guide IN OUT" >&2
    exit 2
    ;;
esac
