#!/usr/bin/env bash
# ./run dist: the archive a technician downloads, build/dist/pATU-<version>-windows.zip, with
# the stripped pATU.exe (the i686 build: it runs on 32- and 64-bit Windows), the guide
# (docs/guia.html with its pictures embedded) and SHA256SUMS.
# It builds the committed HEAD, never the working tree: twice, from two clones in folders of
# different names, one after the other, and fails naming the first file that differs. When
# the environment names the vendor's key (tools/sign.sh), it then signs pATU.exe, before the
# sums and the archive, time-stamped (PATU_SIGN_TSA) unless PATU_SIGN_NO_TIMESTAMP=1 says
# plainly that the signature is to end with its certificate; without a key the archive is
# unsigned. Its last lines say which. The archive's pATU.exe must carry exactly the committed
# resources/pacote.txt.
# PATU_DIST_DIR: where it works and leaves the archive (build/dist).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=${PATU_DIST_DIR:-$repo/build/dist}
sign=$repo/tools/sign.sh
triple=i686-w64-mingw32
commit=$(git -C "$repo" rev-parse HEAD)
version=$(git -C "$repo" show "$commit:CMakeLists.txt" |
  sed -n 's/^project(pATU VERSION \([0-9]*\.[0-9]*\.[0-9]*\) .*/\1/p')
epoch=$(git -C "$repo" log -1 --format=%ct "$commit")
archive=pATU-$version-windows.zip
guide=Guia-pATU.html
files=(pATU.exe "$guide" SHA256SUMS)  # the archive's entries, in this order
max_size=1048576

fail() {
  echo "dist: $*" >&2
  exit 1
}

[ -n "$version" ] || fail "no project version (major.minor.patch) in CMakeLists.txt"
# An archive of an earlier run must never pass for this run's.
rm -f "$out/$archive"
signing=
if [ -n "${PATU_SIGN_PKCS12:-}${PATU_SIGN_PKCS11_MODULE:-}${PATU_SIGN_PKCS11_KEY:-}${PATU_SIGN_CERT:-}" ]; then
  key=$("$sign" check) || fail "the signing key cannot be used (above): no archive made"
  echo "$key"
  signing=yes
fi
if [ -n "$(git -C "$repo" status --porcelain)" ]; then
  echo "dist: warning: the working tree has changes that are not committed; they are left out," \
    "the archive is built from commit $commit" >&2
fi

# The guide as one page: each picture it refers to becomes a data: URI.
embed_pictures() {
  local docs=$1 line name
  while IFS= read -r line || [ -n "$line" ]; do
    while [[ $line =~ src=\"([A-Za-z0-9_-]+\.png)\" ]]; do
      name=${BASH_REMATCH[1]}
      [ -f "$docs/$name" ] || fail "the guide shows $name, which docs/ lacks"
      line=${line//src=\"$name\"/src=\"data:image/png;base64,$(base64 -w0 "$docs/$name")\"}
    done
    printf '%s\n' "$line"
  done
}

# The program as shipped must carry nothing of the machine that built it.
check_program() {
  local exe=$1 size sections symbols text resources
  size=$(stat -c %s "$exe")
  [ "$size" -le "$max_size" ] || fail "pATU.exe is $size bytes, over $max_size"
  sections=$($triple-objdump -h "$exe")
  grep -q 'file format pei-i386' <<<"$sections" || fail "pATU.exe is not an i686 program"
  ! grep -q '\.debug' <<<"$sections" || fail "pATU.exe has .debug sections"
  symbols=$($triple-nm "$exe" 2>&1 || true)
  [ "$symbols" = "$triple-nm: $exe: no symbols" ] || fail "pATU.exe has symbols"
  # Every clone lies under $repo, so no path of this machine's builds may show.
  text=$(strings -a "$exe" && strings -a -e l "$exe")
  ! grep -qF "$repo" <<<"$text" || fail "pATU.exe holds a path of the build: $repo"
  resources=$($triple-windres -i "$exe" -O rc)
  local v=${version//./, }
  for want in "FILEVERSION $v, 0" "PRODUCTVERSION $v, 0" "\"FileVersion\", \"$version.0\"" \
    "\"ProductVersion\", \"$version.0\"" "name=\"\"pATU\"\" version=\"\"$version.0\"\""; do
    grep -qF "$want" <<<"$resources" || fail "pATU.exe's resources lack: $want"
  done
}

# One release from a fresh clone of the commit in $1: the program and the guide land in
# $1/release.
build_release() {
  local clone=$1 stage=$1/release
  rm -rf "$clone"
  git clone --quiet --shared --no-checkout "$repo" "$clone"
  git -C "$clone" -c advice.detachedHead=false checkout --quiet --detach "$commit"

  echo "== release $version of ${commit:0:12} in $clone"
  # Only what the program needs: the package compiler and the post-link step, then pATU.exe,
  # each in its own tree.
  (cd "$clone" &&
    cmake --preset native &&
    cmake --build --preset native --target patu-package-compiler patu-pe-load-config &&
    cmake --preset win32 && cmake --build --preset win32 --target pATU) >"$clone.log" 2>&1 ||
    fail "the build in $clone failed: see $clone.log"

  mkdir -p "$stage"
  "$repo/tools/strip-release.sh" "$clone/build/win32/pATU.exe" "$stage/pATU.exe"
  check_program "$stage/pATU.exe"
  # Signing pads a program to a multiple of 8 bytes; so padded already, it comes back
  # byte for byte when the signature is taken off.
  [ $(($(stat -c %s "$stage/pATU.exe") % 8)) -eq 0 ] ||
    fail "pATU.exe's size is not a multiple of 8: a signature would not come off cleanly"
  embed_pictures "$clone/docs" <"$clone/docs/guia.html" >"$stage/$guide"
}

# The sums and the archive of the program and guide in $1.
package() {
  local stage=$1
  (cd "$stage" && sha256sum pATU.exe "$guide" >SHA256SUMS)
  # Entries with the commit's time, fixed permissions, no extra fields, in a fixed order.
  chmod 644 "${files[@]/#/$stage/}"
  touch -d "@$epoch" "${files[@]/#/$stage/}"
  rm -f "$stage/$archive"
  (cd "$stage" && TZ=UTC zip -q -X -D "$stage/$archive" "${files[@]}")
}

mkdir -p "$out"
started=$SECONDS
build_release "$out/one"
build_release "$out/second-build"
package "$out/one/release"
package "$out/second-build/release"
for f in "${files[@]}" "$archive"; do
  cmp -s "$out/one/release/$f" "$out/second-build/release/$f" ||
    fail "the two builds differ first in $f ($out/one/release, $out/second-build/release)"
done
release=$out/one/release

# The reproducible program, signed: the signature is all that it adds. The guide names the
# signer where it tells the technician what the signature must show.
if [ -n "$signing" ]; then
  signed=$out/one/signed
  rm -rf "$signed"
  mkdir -p "$signed"
  "$sign" guide "$release/$guide" "$signed/$guide" || fail "cannot name the signer in the guide"
  "$sign" sign "$release/pATU.exe" "$signed/pATU.exe" || fail "signing failed (above): no archive made"
  "${PATU_OSSLSIGNCODE:-osslsigncode}" remove-signature -in "$signed/pATU.exe" -out "$signed/unsigned.exe" >/dev/null ||
    fail "osslsigncode cannot take the signature off the signed pATU.exe"
  cmp -s "$signed/unsigned.exe" "$release/pATU.exe" ||
    fail "the signed pATU.exe without its signature is not the program that was built"
  rm "$signed/unsigned.exe"
  check_program "$signed/pATU.exe"
  package "$signed"
  release=$signed
fi

# The archive as downloaded: its entries in order, and the sums it carries.
listed=$(unzip -Z1 "$release/$archive" | tr '\n' ' ')
[ "$listed" = "${files[*]} " ] || fail "$archive holds: $listed"
check=$out/check
rm -rf "$check"
mkdir -p "$check"
unzip -q "$release/$archive" -d "$check"
(cd "$check" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
# The archive's program verifies, with the time stamp that was asked for.
if [ -n "$signing" ]; then
  verified=$("$sign" verify "$check/pATU.exe") ||
    fail "the signature of the archive's pATU.exe does not hold (above): no archive made"
fi

# The archive's pATU.exe must carry exactly the committed package: the package tool, built in
# the same clone, reads it back from the program's string table (tools/package-check.sh).
(cd "$out/one" && cmake --build --preset native --target patu-package) >>"$out/one.log" 2>&1 ||
  fail "the package tool's build in $out/one failed: see $out/one.log"
"$out/one/tools/package-check.sh" "$out/one/build/native/tools/package-tool/patu-package" \
  "$check/pATU.exe" "$out/one/resources/pacote.txt" ||
  fail "the archive's pATU.exe does not carry the committed resources/pacote.txt: no archive made"

cp "$release/$archive" "$out/$archive"
echo "The two builds are identical ($((SECONDS - started)) s)."
echo "archive: $out/$archive"
echo "size:    $(stat -c %s "$out/$archive") bytes (pATU.exe $(stat -c %s "$check/pATU.exe") bytes)"
echo "SHA-256: $(sha256sum "$out/$archive" | cut -d' ' -f1)"
if [ -n "$signing" ]; then
  echo "SIGNED:  pATU.exe carries an Authenticode signature; without it, it is the program that"
  echo "         both builds gave ($out/one/release/pATU.exe)"
  sed 's/^/         /' <<<"$key"
  sed 's/^/         /' <<<"$verified"
  if [ -z "${PATU_SIGN_TSA:-}" ]; then
    echo "NO TIME STAMP: the signature ends with the certificate, on" \
      "$(sed -n 's/^signer: .*(valid until \(.*\))$/\1/p' <<<"$key");" \
      "Windows then calls it not valid."
  fi
else
  echo "UNSIGNED: no signing key was given (PATU_SIGN_PKCS12, or PATU_SIGN_PKCS11_MODULE, _KEY"
  echo "          and PATU_SIGN_CERT): pATU.exe in this archive carries no signature."
fi
