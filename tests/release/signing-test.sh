#!/usr/bin/env bash
# The release's signing (tools/sign.sh, and tools/dist.sh refusing a key it cannot use), on
# the built pATU.exe, with a throwaway PKI made here: a CA, a code-signing certificate and a
# time-stamping one. The key is used from a PKCS#12 file and from a SoftHSM2 token, with a
# time-stamp authority on the loopback (tsa-server.py). Checks: osslsigncode verifies each
# signature against the test CA, the time stamp is in it, and removing the signature gives
# the unsigned program byte for byte; a key from another CA does not verify; a wrong
# password, a missing token and an unreachable time-stamp authority fail with a clear
# message and leave neither a signed program nor an archive behind.
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
  PATU_SIGN_CERT PATU_SIGN_TSA

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
[signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
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
make_ca ca "/C=BR/O=pATU Test CA/CN=pATU Test Root"
make_cert signer "/C=BR/O=Fornecedor de Teste/CN=Fornecedor de Teste" ca signer
make_cert tsa "/C=BR/O=pATU Test CA/CN=pATU Test TSA" ca tsa
make_ca other-ca "/C=BR/O=Someone Else/CN=Someone Else Root"
make_cert stranger "/C=BR/O=Someone Else/CN=Someone Else" other-ca signer
cat "$pki/signer.pem" "$pki/ca.pem" >"$pki/chain.pem"

printf 'correct horse battery\n' >"$pki/password"
printf 'wrong\n' >"$pki/wrong-password"
openssl pkcs12 -export -inkey "$pki/signer.key" -in "$pki/signer.pem" -certfile "$pki/ca.pem" \
  -passout "file:$pki/password" -out "$pki/signer.p12"
openssl pkcs12 -export -inkey "$pki/stranger.key" -in "$pki/stranger.pem" \
  -certfile "$pki/other-ca.pem" -passout "file:$pki/password" -out "$pki/stranger.p12"

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
  PATU_SIGN_PASSWORD_FILE="$pki/password" "$sign" sign "$unsigned" "$work/stranger.exe"
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
PATU_SIGN_PKCS12=$pki/signer.p12 PATU_SIGN_PASSWORD_FILE=$pki/password \
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
export PATU_SIGN_PASSWORD_FILE=$pki/pin
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
