#!/usr/bin/env bash
# Authenticode signing of pATU.exe with the vendor's key (osslsigncode), for ./run dist.
#   sign.sh check        checks the key that the environment names, without signing
#   sign.sh sign IN OUT  signs the program IN into OUT; OUT is written only once signed
#   sign.sh guide IN OUT the guide IN with the signer's name, as Windows shows it, in place
#                        of the text between each <!--signer--> and <!--/signer--> (OUT)
#   sign.sh verify EXE   checks the signature of EXE against the root of the key's own chain,
#                        and its time stamp when one is asked for; prints what it found
# The key, from a PKCS#12 file:
#   PATU_SIGN_PKCS12         the file (key and certificate chain, up to the root)
#   PATU_SIGN_PASSWORD_FILE  a file holding its password (its first line), so that the
#                            password never shows on a command line
# or from a PKCS#11 token:
#   PATU_SIGN_PKCS11_MODULE  the token's PKCS#11 module (a .so)
#   PATU_SIGN_PKCS11_KEY     the key, as a pkcs11: URI
#   PATU_SIGN_CERT           the certificate chain (PEM), the signing certificate first, up to
#                            the root
#   PATU_SIGN_PASSWORD_FILE  optional: a file holding the token's PIN
# and, for either, one of:
#   PATU_SIGN_TSA            the URL of an RFC 3161 time-stamp authority, whose time stamp
#                            keeps the signature valid after the certificate expires
#   PATU_SIGN_NO_TIMESTAMP=1 a signature without one, which ends when the certificate does
# The chain must run, with every intermediate certificate given, from the signing certificate
# (valid now, for code signing) to a self-signed root: a PC offline, or a Windows 7 without
# root updates, cannot fetch a missing intermediate and calls the signature untrusted.
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

# A private folder for this run's temporary files, removed at the end.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The token's PIN or the PKCS#12 file's password: the first line of PATU_SIGN_PASSWORD_FILE.
# osslsigncode 2.5 reads the whole file, a trailing line break included; it gets a copy
# holding the line alone, private to this run.
secret_copy=$scratch/secret
secret() {
  (umask 077 && head -n1 "$PATU_SIGN_PASSWORD_FILE" | tr -d '\r\n' >"$secret_copy")
}

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

# What openssl tells of a certificate, a "field=value" a line: subject, issuer, validity
# dates, then its extended key usage, if it has one.
describe() {  # describe PEM
  openssl x509 -in "$1" -noout -subject -issuer -startdate -enddate -ext extendedKeyUsage \
    -nameopt oneline,-esc_msb 2>/dev/null
}
field() {  # field NAME DESCRIPTION: the value of NAME= in DESCRIPTION (describe's output)
  local line
  while IFS= read -r line; do
    if [[ $line == "$1="* ]]; then
      printf '%s' "${line#"$1="}"
      return 0
    fi
  done <<<"$2"
}

# Each certificate of the PEM file $1 into a file of its own, $2-1.pem, $2-2.pem, ...
split_certificates() {
  awk -v prefix="$2" '
    /-----BEGIN CERTIFICATE-----/ { n++; file = prefix "-" n ".pem" }
    file != "" { print > file }
    /-----END CERTIFICATE-----/ { close(file); file = "" }' "$1"
}

# The key's certificates, in $chain_dir: signer.pem and given.pem (the others that come with
# it). chain WHAT checks them (WHAT names where they come from) and sorts the others into
# roots.pem (the self-signed ones) and intermediates.pem; it leaves signer_facts (describe's
# output), root (the root's subject) and intermediates (their number).
chain_dir=$scratch/chain
mkdir -p "$chain_dir"
chain() {
  local what=$1 certificate facts why
  local whole="$what must hold the whole chain: the signing certificate, every intermediate"
  whole+=" certificate and the root"
  signer_facts=$(describe "$chain_dir/signer.pem") || fail "$what holds no signing certificate"
  split_certificates "$chain_dir/given.pem" "$chain_dir/given"
  : >"$chain_dir/roots.pem"
  : >"$chain_dir/intermediates.pem"
  root= intermediates=0
  for certificate in "$chain_dir"/given-*.pem; do
    [ -e "$certificate" ] || continue
    facts=$(describe "$certificate") || fail "$what holds a certificate that openssl cannot read"
    if [ "$(field subject "$facts")" = "$(field issuer "$facts")" ]; then
      cat "$certificate" >>"$chain_dir/roots.pem"
      root=${root:-$(field subject "$facts")}
    else
      cat "$certificate" >>"$chain_dir/intermediates.pem"
      intermediates=$((intermediates + 1))
    fi
  done
  local signer
  signer=$(field subject "$signer_facts")
  [ -n "$root" ] || fail "the certificate chain of $signer ends without a self-signed root: $whole"
  local untrusted=()
  if [ -s "$chain_dir/intermediates.pem" ]; then
    untrusted=(-untrusted "$chain_dir/intermediates.pem")
  fi
  # Nothing of this machine's: the chain must hold with what the key brings alone, every
  # certificate in it valid today.
  if ! why=$(openssl verify -no-CAfile -no-CApath -no-CAstore -check_ss_sig \
    -CAfile "$chain_dir/roots.pem" "${untrusted[@]}" "$chain_dir/signer.pem" 2>&1); then
    # openssl names each certificate at fault on the line before its error.
    why=$(awk '/^error [0-9]+ at [0-9]+ depth lookup: / {
      sub(/^error [0-9]+ at [0-9]+ depth lookup: /, ""); print "  " name ": " $0 } { name = $0 }' \
      <<<"$why")
    if grep -qE 'expired|not yet valid' <<<"$why"; then
      whole="a certificate outside its validity dates cannot sign (the signing certificate is"
      whole+=" valid from $(field notBefore "$signer_facts") to $(field notAfter "$signer_facts"))"
    fi
    fail "the certificate chain in $what does not hold:"$'\n'"$why"$'\n'"$whole"
  fi
  local usage=
  if [[ $signer_facts == *"X509v3 Extended Key Usage:"* ]]; then
    usage=${signer_facts#*X509v3 Extended Key Usage:}
  fi
  [[ $usage == *"Code Signing"* ]] ||
    fail "the certificate of $signer is not one for code signing (its extended key usage lacks" \
      "Code Signing): Windows does not take it for a program's signature"
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
    why=$(openssl pkcs12 -in "$pkcs12" -passin "file:$PATU_SIGN_PASSWORD_FILE" -nokeys -clcerts \
      -out "$chain_dir/signer.pem" 2>&1) ||
      fail "the password in $PATU_SIGN_PASSWORD_FILE does not open $pkcs12 (a wrong password?):" \
        "$(head -n1 <<<"$why")"
    openssl pkcs12 -in "$pkcs12" -passin "file:$PATU_SIGN_PASSWORD_FILE" -nokeys -cacerts \
      -out "$chain_dir/given.pem" 2>/dev/null
    echo "key: the PKCS#12 file $pkcs12"
  elif [ -n "$module${PATU_SIGN_PKCS11_KEY:-}${PATU_SIGN_CERT:-}" ]; then
    readable PATU_SIGN_PKCS11_MODULE "the token's PKCS#11 module"
    readable PATU_SIGN_CERT "the signing certificate chain (PEM)"
    [ -f "$engine" ] || fail "no OpenSSL PKCS#11 engine at $engine (libengine-pkcs11-openssl)"
    local uri=${PATU_SIGN_PKCS11_KEY:-} token slots
    [[ $uri == pkcs11:* ]] || fail "PATU_SIGN_PKCS11_KEY must be a pkcs11: URI, not '$uri'"
    if [ -n "${PATU_SIGN_PASSWORD_FILE:-}" ]; then
      readable PATU_SIGN_PASSWORD_FILE "the file holding the token's PIN"
    fi
    # The signing certificate first, then the others.
    split_certificates "$PATU_SIGN_CERT" "$chain_dir/file"
    [ -e "$chain_dir/file-1.pem" ] || fail "PATU_SIGN_CERT=$PATU_SIGN_CERT holds no PEM certificate"
    mv "$chain_dir/file-1.pem" "$chain_dir/signer.pem"
    cat "$chain_dir"/file-*.pem >"$chain_dir/given.pem" 2>/dev/null || true
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
  else
    fail "no key given: set PATU_SIGN_PKCS12 or PATU_SIGN_PKCS11_MODULE"
  fi
  if [ -n "$pkcs12" ]; then
    chain "the PKCS#12 file $pkcs12"
  else
    chain "PATU_SIGN_CERT=$PATU_SIGN_CERT"
  fi
  local until
  until=$(field notAfter "$signer_facts")
  echo "signer: $(field subject "$signer_facts") (valid until $until)"
  echo "chain: $intermediates intermediate certificate(s), then the root $root"
  # Without a time stamp, a signature is valid only as long as its certificate: every copy
  # in the field would turn "not OK" on the same day.
  local no_timestamp=${PATU_SIGN_NO_TIMESTAMP:-}
  if [ -n "${PATU_SIGN_TSA:-}" ]; then
    [ -z "$no_timestamp" ] ||
      fail "both PATU_SIGN_TSA and PATU_SIGN_NO_TIMESTAMP are set: a time stamp or none?"
    [[ $PATU_SIGN_TSA == http://* || $PATU_SIGN_TSA == https://* ]] ||
      fail "PATU_SIGN_TSA must be an http:// or https:// URL, not '$PATU_SIGN_TSA'"
    echo "time stamp: $PATU_SIGN_TSA"
  elif [ "$no_timestamp" = 1 ]; then
    echo "time stamp: NONE (PATU_SIGN_NO_TIMESTAMP=1): the signature ends with the certificate," \
      "on $until"
  elif [ -n "$no_timestamp" ]; then
    fail "PATU_SIGN_NO_TIMESTAMP=$no_timestamp: it is 1 (no time stamp) or unset"
  else
    fail "no time-stamp authority: set PATU_SIGN_TSA to the URL of an RFC 3161 time-stamp" \
      "authority (without a time stamp the signature ends when the certificate expires, on" \
      "$until), or PATU_SIGN_NO_TIMESTAMP=1 to sign without one"
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

# The signature of a signed program, checked as a PC would: against the root of the key's
# own chain (the intermediates must come with the signature), with the time stamp, when one
# was asked for, checked against that root or one that this machine trusts.
verify() {
  local exe=$1 log tsa_roots=$scratch/tsa-roots.pem
  check >/dev/null
  cat "$chain_dir/roots.pem" >"$tsa_roots"
  if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    cat /etc/ssl/certs/ca-certificates.crt >>"$tsa_roots"
  fi
  if ! log=$("$osslsigncode" verify -in "$exe" -CAfile "$chain_dir/roots.pem" \
    -TSA-CAfile "$tsa_roots" 2>&1); then
    fail "the signature of $exe does not verify against the root of the key's chain, $root:" \
      $'\n'"$(grep -iE 'error|fail|no signature' <<<"$log" | head -n5)"
  fi
  echo "verified: the signature, against the root $root"
  # osslsigncode 2.5 and 2.9 word a checked time stamp differently.
  local stamped='^Timestamp (Verified by|is valid at)|Timestamp Server Signature verification: ok'
  if grep -qiE "$stamped" <<<"$log"; then
    local when
    when=$(grep -iE '^[[:space:]]*Timestamp time:|^Timestamp is valid at|^The signature is timestamped:' \
      <<<"$log" | head -n1) || true
    echo "verified: the time stamp (${when#"${when%%[![:space:]]*}"})"
  elif [ -n "${PATU_SIGN_TSA:-}" ]; then
    fail "$exe carries no time stamp that verifies, though $PATU_SIGN_TSA was asked for one"
  else
    echo "verified: no time stamp, as PATU_SIGN_NO_TIMESTAMP=1 asks"
  fi
}

# The name Windows shows as the signer's: the signing certificate's common name, else its
# organisation. After check.
signer_name() {
  local fields name
  fields=$(openssl x509 -in "$chain_dir/signer.pem" -noout -subject \
    -nameopt multiline,utf8,-esc_msb)
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
  verify)
    [ $# -eq 2 ] || fail "usage: sign.sh verify EXE"
    verify "$2"
    ;;
  *)
    echo "usage: sign.sh check | sign.sh sign IN OUT | sign.sh guide IN OUT |" \
      "sign.sh verify EXE" >&2
    exit 2
    ;;
esac
