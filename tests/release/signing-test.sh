#!/usr/bin/env bash
# The release's signing (tools/sign.sh, and tools/dist.sh refusing a key it cannot use), on
# the built pATU.exe, with a throwaway PKI made here: a root, an intermediate CA, a
# code-signing certificate under it and a time-stamping one. The key is used from a PKCS#12
# file and from a SoftHSM2 token, with a time-stamp authority on the loopback
# (tsa-server.py). Checks: osslsigncode verifies each signature against the test root alone,
# the time stamp is in it, and removing the signature gives the unsigned program byte for
# byte; a key from another CA does not verify; a wrong password, a missing token, an
# unreachable time-stamp authority, a chain without its intermediate or its root, a
# certificate not for code signing, expired or not yet valid, and no word on the time stamp
# fail with a clear message and leave neither a signed program nor an archive behind.
# Environment: PATU_EXE (the built pATU.exe, stripped here as the release strips it),
# PATU_SIGN_TEST_DIR (a scratch folder, emptied first).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
sign=$repo/tools/sign.sh
osslsigncode=${PATU_OSSLSIGNCODE:-osslsigncode}
work=$PATU_SIGN_TEST_DIR
rm -rf "$work"
mkdir -p "$work/pki" "$work/tsa" "$work/tokens"
pki=$work/pki
failures=0
tsa_pid=

cleanup() {
  if [ -n "$tsa_pid" ]; then
    kill "$tsa_pid" 2>/dev/null || true
    wait "$tsa_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

check() {  # check WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok:   $what"
  else
    echo "FAIL: $what"
    failures=$((failures + 1))
  fi
}

# The environment of one signing, and nothing of the caller's.
unset PATU_SIGN_PKCS12 PATU_SIGN_PASSWORD_FILE PATU_SIGN_PKCS11_MODULE PATU_SIGN_PKCS11_KEY \
  PATU_SIGN_CERT PATU_SIGN_TSA PATU_SIGN_NO_TIMESTAMP

# --- The throwaway PKI ----------------------------------------------------------------------
cat >"$pki/ext.cnf" <<'EOF'
[req]
distinguished_name = dn
x509_extensions = ca
[dn]
[ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[server]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
# make_ca NAME SUBJECT; make_cert NAME SUBJECT CA EXTENSIONS
make_ca() {
  openssl req -x509 -config "$pki/ext.cnf" -newkey rsa:2048 -nodes -keyout "$pki/$1.key" \
    -out "$pki/$1.pem" -days 30 -subj "$2" 2>/dev/null
}
make_cert() {
  openssl req -new -config "$pki/ext.cnf" -newkey rsa:2048 -nodes -keyout "$pki/$1.key" \
    -out "$pki/$1.csr" -subj "$2" 2>/dev/null
  openssl x509 -req -in "$pki/$1.csr" -CA "$pki/$3.pem" -CAkey "$pki/$3.key" \
    -CAcreateserial -days 30 -sha256 -extfile "$pki/ext.cnf" -extensions "$4" \
    -out "$pki/$1.pem" 2>/dev/null
}
# dated NAME SUBJECT CA EXTENSIONS START END: valid from START to END (YYYYMMDDHHMMSSZ)
# only, which openssl x509 cannot make; openssl ca can.
cat >"$pki/dated.cnf" <<EOF
[ca]
default_ca = dated
[dated]
database = $pki/index.txt
new_certs_dir = $pki
serial = $pki/dated-serial
default_md = sha256
policy = any
unique_subject = no
[any]
countryName = optional
organizationName = optional
commonName = supplied
EOF
: >"$pki/index.txt"
echo 1000 >"$pki/dated-serial"
dated() {
  openssl req -new -config "$pki/ext.cnf" -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 \
    -nodes -keyout "$pki/$1.key" -out "$pki/$1.csr" -subj "$2" 2>/dev/null
  openssl ca -batch -notext -config "$pki/dated.cnf" -cert "$pki/$3.pem" -keyfile "$pki/$3.key" \
    -in "$pki/$1.csr" -out "$pki/$1.pem" -startdate "$5" -enddate "$6" \
    -extfile "$pki/ext.cnf" -extensions "$4" 2>/dev/null
}
make_ca ca "/C=BR/O=pATU Test CA/CN=pATU Test Root"
make_cert intermediate "/C=BR/O=pATU Test CA/CN=pATU Test Code Signing CA" ca intermediate
make_cert signer "/C=BR/O=Fornecedor de Teste/CN=Fornecedor de Teste" intermediate signer
make_cert tsa "/C=BR/O=pATU Test CA/CN=pATU Test TSA" ca tsa
make_ca other-ca "/C=BR/O=Someone Else/CN=Someone Else Root"
make_cert stranger "/C=BR/O=Someone Else/CN=Someone Else" other-ca signer
make_cert server "/C=BR/O=Fornecedor de Teste/CN=servidor.teste" intermediate server
dated expired "/C=BR/O=Fornecedor de Teste/CN=Fornecedor Vencido" intermediate signer \
  20200101000000Z 20210101000000Z
dated future "/C=BR/O=Fornecedor de Teste/CN=Fornecedor Futuro" intermediate signer \
  20990101000000Z 20991231000000Z
cat "$pki/intermediate.pem" "$pki/ca.pem" >"$pki/issuers.pem"
cat "$pki/signer.pem" "$pki/issuers.pem" >"$pki/chain.pem"
cat "$pki/signer.pem" "$pki/ca.pem" >"$pki/chain-without-intermediate.pem"

printf 'correct horse battery\n' >"$pki/password"
printf 'wrong\n' >"$pki/wrong-password"
pkcs12() {  # pkcs12 NAME CERTIFICATE ISSUERS: NAME.p12, CERTIFICATE's key and the ISSUERS
  openssl pkcs12 -export -inkey "$pki/$2.key" -in "$pki/$2.pem" -certfile "$pki/$3.pem" \
    -passout "file:$pki/password" -out "$pki/$1.p12"
}
pkcs12 signer signer issuers
pkcs12 stranger stranger other-ca
pkcs12 without-intermediate signer ca
pkcs12 without-root signer intermediate
pkcs12 server server issuers
pkcs12 expired expired issuers
pkcs12 future future issuers

# --- The token: SoftHSM2, its tokens in this test's folder ---------------------------------
export SOFTHSM2_CONF=$work/softhsm2.conf
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$work/tokens" >"$SOFTHSM2_CONF"
module=/usr/lib/softhsm/libsofthsm2.so
printf '4711\n' >"$pki/pin"
softhsm2-util --init-token --free --label "pATU signing" --so-pin 0000 --pin 4711 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$pki/signer.key" -out "$pki/signer.pk8"
softhsm2-util --import "$pki/signer.pk8" --token "pATU signing" --label signer --id 01 \
  --pin 4711 >/dev/null

# --- The time-stamp authority on the loopback --------------------------------------------
echo 01 >"$work/tsa/serial"
cat >"$work/tsa/tsa.cnf" <<EOF
[ tsa ]
default_tsa = loopback
[ loopback ]
serial = $work/tsa/serial
crypto_device = builtin
signer_cert = $pki/tsa.pem
certs = $pki/ca.pem
signer_key = $pki/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
EOF
/usr/bin/python3 "$here/tsa-server.py" "$work/tsa/tsa.cnf" "$work/tsa/port" \
  2>"$work/tsa/server.log" &
tsa_pid=$!
for _ in $(seq 100); do
  [ -s "$work/tsa/port" ] && break
  kill -0 "$tsa_pid" 2>/dev/null || { cat "$work/tsa/server.log"; exit 1; }
  sleep 0.05
done
tsa_url=http://127.0.0.1:$(cat "$work/tsa/port")/

# --- The program as it ships, unsigned ----------------------------------------------------
unsigned=$work/pATU.exe
"$repo/tools/strip-release.sh" "$PATU_EXE" "$unsigned"

verify() {  # verify SIGNED CA: osslsigncode's verdict, its output in SIGNED.verify
  "$osslsigncode" verify -in "$1" -CAfile "$pki/$2.pem" -TSA-CAfile "$pki/$2.pem" \
    >"$1.verify" 2>&1
}
timestamped() {  # the signature carries a time stamp that osslsigncode checked
  grep -qiE '^Timestamp (Verified by|is valid at)|Timestamp Server Signature verification: ok' \
    "$1.verify"
}
unsigned_again() {  # removing the signature gives back the unsigned program
  "$osslsigncode" remove-signature -in "$1" -out "$1.removed" >/dev/null 2>&1 &&
    cmp "$1.removed" "$unsigned"
}
not() { ! "$@"; }
requests() { find "$work/tsa" -name 'request-*.tsq' | wc -l; }
named() { grep -qF "$2" "$1"; }  # named FILE TEXT

# signs NAME: tools/sign.sh on the unsigned program, into work/NAME.exe (output in .log)
signs() { "$sign" sign "$unsigned" "$work/$1.exe" >"$work/$1.log" 2>&1; }
refuses() {  # refuses NAME TEXT: the signing fails, says TEXT, and leaves nothing
  ! signs "$1" && named "$work/$1.log" "$2" && [ ! -e "$work/$1.exe" ] &&
    [ ! -e "$work/$1.exe.signing" ]
}

echo "== from a PKCS#12 file, time-stamped"
before=$(requests)
check "signs" env PATU_SIGN_PKCS12="$pki/signer.p12" PATU_SIGN_PASSWORD_FILE="$pki/password" \
  PATU_SIGN_TSA="$tsa_url" "$sign" sign "$unsigned" "$work/p12.exe"
check "verifies against the test CA" verify "$work/p12.exe" ca
check "names the signer" named "$work/p12.exe.verify" "Fornecedor de Teste"
check "carries a time stamp" timestamped "$work/p12.exe"
check "asked the time-stamp authority" [ "$(requests)" -gt "$before" ]
check "without its signature is the unsigned program" unsigned_again "$work/p12.exe"
check "does not verify against another CA" not verify "$work/p12.exe" other-ca
check "signed by someone else, signs" env PATU_SIGN_PKCS12="$pki/stranger.p12" \
  PATU_SIGN_PASSWORD_FILE="$pki/password" PATU_SIGN_NO_TIMESTAMP=1 \
  "$sign" sign "$unsigned" "$work/stranger.exe"
check "signed by someone else, does not verify against the test CA" \
  not verify "$work/stranger.exe" ca

# The guide names the signer where it tells what the signature must show.
guide_names() {  # guide_names NAME: the guide filled in names NAME wherever it has a blank
  local blanks
  blanks=$(grep -o '<!--signer-->' "$repo/docs/guia.html" | wc -l)
  [ "$blanks" -gt 0 ] && "$sign" guide "$repo/docs/guia.html" "$work/guide.html" &&
    [ "$(grep -o "<b>$1</b>" "$work/guide.html" | wc -l)" -eq "$blanks" ] &&
    ! grep -q 'signer-->' "$work/guide.html"
}
PATU_SIGN_PKCS12=$pki/signer.p12 PATU_SIGN_PASSWORD_FILE=$pki/password PATU_SIGN_TSA=$tsa_url \
  check "the guide names the signer" guide_names "Fornecedor de Teste"

echo "== from a PKCS#11 token (SoftHSM2), time-stamped"
export PATU_SIGN_PKCS11_MODULE=$module PATU_SIGN_CERT=$pki/chain.pem
export PATU_SIGN_PKCS11_KEY="pkcs11:token=pATU%20signing;object=signer;type=private"
check "signs" env PATU_SIGN_PASSWORD_FILE="$pki/pin" PATU_SIGN_TSA="$tsa_url" \
  "$sign" sign "$unsigned" "$work/token.exe"
check "verifies against the test CA" verify "$work/token.exe" ca
check "carries a time stamp" timestamped "$work/token.exe"
check "without its signature is the unsigned program" unsigned_again "$work/token.exe"

echo "== refusals"
export PATU_SIGN_PASSWORD_FILE=$pki/pin PATU_SIGN_TSA=$tsa_url
PATU_SIGN_PKCS11_KEY="pkcs11:token=not%20plugged;object=signer;type=private" \
  check "a missing token" refuses no-token "the token 'not plugged' is not there"
PATU_SIGN_PASSWORD_FILE=$pki/wrong-password check "a wrong PIN" refuses wrong-pin \
  "could not sign"
PATU_SIGN_TSA=http://127.0.0.1:1/ check "an unreachable time-stamp authority" refuses no-tsa \
  "could not sign"
unset PATU_SIGN_PKCS11_MODULE PATU_SIGN_PKCS11_KEY PATU_SIGN_CERT
export PATU_SIGN_PKCS12=$pki/signer.p12
PATU_SIGN_PASSWORD_FILE=$pki/wrong-password check "a wrong password" refuses wrong-password \
  "does not open $pki/signer.p12 (a wrong password?)"
PATU_SIGN_PASSWORD_FILE=$work/none check "no password file" refuses no-password \
  "PATU_SIGN_PASSWORD_FILE=$work/none: no such file"
PATU_SIGN_PKCS11_MODULE=$module check "two keys at once" refuses two-keys "name one key"

echo "== the chain runs, every intermediate given, from the signer to a self-signed root"
export PATU_SIGN_PASSWORD_FILE=$pki/password
PATU_SIGN_PKCS12=$pki/without-intermediate.p12 check "a PKCS#12 file without the intermediate" \
  refuses p12-without-intermediate \
  "O = Fornecedor de Teste, CN = Fornecedor de Teste: unable to get local issuer certificate"
check "... and says what it must hold" named "$work/p12-without-intermediate.log" \
  "must hold the whole chain: the signing certificate, every intermediate certificate and the root"
PATU_SIGN_PKCS12=$pki/without-root.p12 check "a PKCS#12 file without the root" \
  refuses p12-without-root "ends without a self-signed root"
PATU_SIGN_PKCS12=$pki/server.p12 check "a certificate for servers, not for code signing" \
  refuses not-code-signing "is not one for code signing"
PATU_SIGN_PKCS12=$pki/expired.p12 check "an expired certificate" \
  refuses expired "CN = Fornecedor Vencido: certificate has expired"
PATU_SIGN_PKCS12=$pki/future.p12 check "a certificate not yet valid" \
  refuses future "CN = Fornecedor Futuro: certificate is not yet valid"
token_key="pkcs11:token=pATU%20signing;object=signer;type=private"
PATU_SIGN_PKCS12='' PATU_SIGN_PKCS11_MODULE=$module PATU_SIGN_PKCS11_KEY=$token_key \
  PATU_SIGN_PASSWORD_FILE=$pki/pin PATU_SIGN_CERT=$pki/chain-without-intermediate.pem \
  check "the token's certificate file without the intermediate" \
  refuses token-without-intermediate "unable to get local issuer certificate"
PATU_SIGN_PKCS12='' PATU_SIGN_PKCS11_MODULE=$module PATU_SIGN_PKCS11_KEY=$token_key \
  PATU_SIGN_PASSWORD_FILE=$pki/pin PATU_SIGN_CERT=$pki/signer.pem \
  check "the token's certificate file with the signing certificate alone" \
  refuses token-signer-alone "ends without a self-signed root"

echo "== the time stamp: asked for, or refused in plain words"
unset PATU_SIGN_TSA
check "no time-stamp authority" refuses no-timestamp-word \
  "no time-stamp authority: set PATU_SIGN_TSA"
PATU_SIGN_TSA=$tsa_url PATU_SIGN_NO_TIMESTAMP=1 check "a time stamp and none at once" \
  refuses both-timestamp-words "both PATU_SIGN_TSA and PATU_SIGN_NO_TIMESTAMP are set"
PATU_SIGN_NO_TIMESTAMP=yes check "PATU_SIGN_NO_TIMESTAMP other than 1" \
  refuses timestamp-yes "PATU_SIGN_NO_TIMESTAMP=yes: it is 1 (no time stamp) or unset"
check "PATU_SIGN_NO_TIMESTAMP=1: signs" env PATU_SIGN_NO_TIMESTAMP=1 \
  "$sign" sign "$unsigned" "$work/untimestamped.exe"
check "... and verifies, with no time stamp" eval \
  'verify "$work/untimestamped.exe" ca && not timestamped "$work/untimestamped.exe"'
PATU_SIGN_NO_TIMESTAMP=1 "$sign" check >"$work/untimestamped-check.out" 2>&1 || true
expires=$(openssl x509 -in "$pki/signer.pem" -noout -enddate | sed 's/^notAfter=//')
check "... and says that the signature ends with the certificate" named \
  "$work/untimestamped-check.out" \
  "(PATU_SIGN_NO_TIMESTAMP=1): the signature ends with the certificate, on $expires"

# verifies_as NAME EXE TEXT...: sign.sh verify passes EXE and says each TEXT (output in NAME.out)
verifies_as() {
  local out=$work/$1.out exe=$2 text
  shift 2
  "$sign" verify "$exe" >"$out" 2>&1 || return 1
  for text; do named "$out" "$text" || return 1; done
}
rejects_as() {  # rejects_as NAME EXE TEXT: sign.sh verify fails EXE, saying TEXT
  ! "$sign" verify "$2" >"$work/$1.out" 2>&1 && named "$work/$1.out" "$3"
}
PATU_SIGN_TSA=$tsa_url check "verify: the time-stamped signature" verifies_as verify-p12 \
  "$work/p12.exe" "verified: the signature, against the root C = BR, O = pATU Test CA" \
  "verified: the time stamp ("
PATU_SIGN_TSA=$tsa_url check "verify: no time stamp where one was asked for" rejects_as \
  verify-missing-timestamp "$work/untimestamped.exe" "carries no time stamp that verifies"
PATU_SIGN_NO_TIMESTAMP=1 check "verify: no time stamp, none asked for" verifies_as \
  verify-untimestamped "$work/untimestamped.exe" "verified: no time stamp"
PATU_SIGN_TSA=$tsa_url check "verify: a signature by someone else" rejects_as verify-stranger \
  "$work/stranger.exe" "does not verify against the root of the key's chain"
PATU_SIGN_TSA=$tsa_url check "verify: an unsigned program" rejects_as verify-unsigned \
  "$unsigned" "does not verify"

echo "== the release refuses a key it cannot use, and leaves no archive"
version=$(sed -n 's/^project(pATU VERSION \([0-9.]*\) .*/\1/p' "$repo/CMakeLists.txt")
dist_refuses() {  # dist_refuses NAME TEXT: ./run dist's script fails at once, saying TEXT
  local dir=$work/dist-$1
  mkdir -p "$dir"
  echo "an archive of an earlier run" >"$dir/pATU-$version-windows.zip"
  ! PATU_DIST_DIR=$dir "$repo/tools/dist.sh" >"$dir.log" 2>&1 &&
    named "$dir.log" "$2" && named "$dir.log" "no archive made" &&
    [ -z "$(find "$dir" -name '*.zip')" ] && [ ! -e "$dir/one" ]
}
PATU_SIGN_PASSWORD_FILE=$pki/wrong-password check "a wrong password" dist_refuses \
  wrong-password "(a wrong password?)"
check "no time-stamp authority" dist_refuses no-timestamp "no time-stamp authority"
unset PATU_SIGN_PKCS12
PATU_SIGN_PKCS11_MODULE=$module PATU_SIGN_CERT=$pki/chain.pem \
  PATU_SIGN_PKCS11_KEY="pkcs11:token=not%20plugged;object=signer" \
  check "a missing token" dist_refuses no-token "the token 'not plugged' is not there"

for log in "$work"/*.log "$work"/dist-*.log; do
  [ -f "$log" ] || continue
  echo "--- $(basename "$log")"
  cat "$log"
done
echo "$failures failed"
[ "$failures" -eq 0 ]
