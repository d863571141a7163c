#!/usr/bin/env bash
# ./run dist: the archive a technician downloads, build/dist/pATU-<version>-win64.zip, with
# the stripped pATU.exe, the guide (docs/guia.html with its pictures embedded) and SHA256SUMS.
# It builds the committed HEAD, never the working tree: twice, from two clones in folders of
# different names, one after the other, and fails naming the first file that differs.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$repo/build/dist
commit=$(git -C "$repo" rev-parse HEAD)
version=$(git -C "$repo" show "$commit:CMakeLists.txt" |
  sed -n 's/^project(pATU VERSION \([0-9]*\.[0-9]*\.[0-9]*\) .*/\1/p')
epoch=$(git -C "$repo" log -1 --format=%ct "$commit")
archive=pATU-$version-win64.zip
guide=Guia-pATU.html
files=(pATU.exe "$guide" SHA256SUMS)  # the archive's entries, in this order
max_size=1048576

fail() {
  echo "dist: $*" >&2
  exit 1
}

[ -n "$version" ] || fail "no project version (major.minor.patch) in CMakeLists.txt"
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
  sections=$(x86_64-w64-mingw32-objdump -h "$exe")
  ! grep -q '\.debug' <<<"$sections" || fail "pATU.exe has .debug sections"
  symbols=$(x86_64-w64-mingw32-nm "$exe" 2>&1 || true)
  [ "$symbols" = "x86_64-w64-mingw32-nm: $exe: no symbols" ] || fail "pATU.exe has symbols"
  # Every clone lies under $repo, so no path of this machine's builds may show.
  text=$(strings -a "$exe" && strings -a -e l "$exe")
  ! grep -qF "$repo" <<<"$text" || fail "pATU.exe holds a path of the build: $repo"
  resources=$(x86_64-w64-mingw32-windres -i "$exe" -O rc)
  local v=${version//./, }
  for want in "FILEVERSION $v, 0" "PRODUCTVERSION $v, 0" "\"FileVersion\", \"$version.0\"" \
    "\"ProductVersion\", \"$version.0\"" "name=\"\"pATU\"\" version=\"\"$version.0\"\""; do
    grep -qF "$want" <<<"$resources" || fail "pATU.exe's resources lack: $want"
  done
}

# One release from a fresh clone of the commit in $1; the archive and its files land in
# $1/release.
build_release() {
  local clone=$1 stage=$1/release
  rm -rf "$clone"
  git clone --quiet --shared --no-checkout "$repo" "$clone"
  git -C "$clone" -c advice.detachedHead=false checkout --quiet --detach "$commit"

  echo "== release $version of ${commit:0:12} in $clone"
  # Only what the program needs: the package compiler, the icon's drawing and the post-link
  # step, then pATU.exe, each in its own tree.
  (cd "$clone" &&
    cmake --preset native &&
    cmake --build --preset native --target patu-package-compiler patu-icon patu-pe-load-config &&
    cmake --preset win64 && cmake --build --preset win64 --target pATU) >"$clone.log" 2>&1 ||
    fail "the build in $clone failed: see $clone.log"

  mkdir -p "$stage"
  # strip writes the current time into the PE header unless told a time; 0 is the link's.
  SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-strip -o "$stage/pATU.exe" "$clone/build/win64/pATU.exe"
  check_program "$stage/pATU.exe"
  embed_pictures "$clone/docs" <"$clone/docs/guia.html" >"$stage/$guide"
  (cd "$stage" && sha256sum pATU.exe "$guide" >SHA256SUMS)

  # Entries with the commit's time, fixed permissions, no extra fields, in a fixed order.
  chmod 644 "${files[@]/#/$stage/}"
  touch -d "@$epoch" "${files[@]/#/$stage/}"
  (cd "$stage" && TZ=UTC zip -q -X -D "$stage/$archive" "${files[@]}")
}

mkdir -p "$out"
started=$SECONDS
build_release "$out/one"
build_release "$out/second-build"
for f in "${files[@]}" "$archive"; do
  cmp -s "$out/one/release/$f" "$out/second-build/release/$f" ||
    fail "the two builds differ first in $f ($out/one/release, $out/second-build/release)"
done

# The archive as downloaded: its entries in order, and the sums it carries.
listed=$(unzip -Z1 "$out/one/release/$archive" | tr '\n' ' ')
[ "$listed" = "${files[*]} " ] || fail "$archive holds: $listed"
check=$out/check
rm -rf "$check"
mkdir -p "$check"
unzip -q "$out/one/release/$archive" -d "$check"
(cd "$check" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"

cp "$out/one/release/$archive" "$out/$archive"
echo "The two builds are identical ($((SECONDS - started)) s)."
echo "archive: $out/$archive"
echo "size:    $(stat -c %s "$out/$archive") bytes (pATU.exe $(stat -c %s "$check/pATU.exe") bytes)"
echo "SHA-256: $(sha256sum "$out/$archive" | cut -d' ' -f1)"
