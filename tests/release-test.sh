#!/usr/bin/env bash
# Runs tools/release.sh twice and checks what it leaves in build/release/:
#
#   unsigned, without an image: the program is byte for byte the reproducible
#     release build in WINDOWS_BUILD_DIR, and SHA256SUMS matches every file;
#   signed with a throw-away code-signing certificate made here (in a
#     temporary folder, never in the tree), with a test image: osslsigncode
#     accepts the program against that certificate and refuses it against
#     another one and with one byte changed; the signed program passes the PE
#     checks and, under Wine, starts without a unit, shows its main window
#     with the no-unit hint and closes with 0 (the shell test pointed at the
#     signed file); the note names the versions, the image's SHA-256 and
#     each file's size, and SHA256SUMS matches every file.
#
# Before that, without building anything: release.sh refuses a tree with
# uncommitted changes, a key inside the tree and a release that names no
# image choice. Exits non-zero naming the first fault. A screenshot of the
# signed program's window goes to build/release-work/signed-main-en.png.
#
#   tests/release-test.sh [WINDOWS_BUILD_DIR]    (default build/windows)
set -euo pipefail
cd "$(dirname "$0")/.."

first=${1:-build/windows}
release=build/release
work=build/release-work

fault() {
  echo "release-test: FAILED: $*" >&2
  exit 1
}

tmp=$(mktemp -d)
# The release made here is signed with a throw-away key and carries random
# bytes as its image: it is removed however the test ends, so that nobody
# publishes it.
cleanup() {
  rm -rf "$tmp" "$release" "$work/windows" "$work/web" "$work/staging" "$work/wine-run"
}
trap cleanup EXIT

# Every file in build/release but SHA256SUMS is listed in it, nothing else,
# and each digest matches.
check_sums() {
  (cd "$release" && sha256sum --quiet -c SHA256SUMS) || fault "sha256sum -c SHA256SUMS fails in $release"
  diff <(cd "$release" && find . -type f ! -name SHA256SUMS -printf '%P\n' | sort) \
       <(sed 's/^[0-9a-f]\{64\}  //' "$release/SHA256SUMS" | sort) >/dev/null ||
    fault "SHA256SUMS does not list exactly the files in $release"
  grep -q '^[0-9a-f]\{64\}  site/index.html$' "$release/SHA256SUMS" || fault "SHA256SUMS lists no site/index.html"
}

# The note names the versions, and each file with its size.
check_note() {
  local note=$release/RELEASE.txt
  [ -f "$note" ] || fault "no $note"
  grep -qx "ORVANTO firmware updater 3.0.0" "$note" || fault "the note names no program version 3.0.0"
  grep -qx "Firmware version it installs: 3.0" "$note" || fault "the note names no firmware version 3.0"
  while read -r file; do
    [ "$file" = RELEASE.txt ] && continue
    grep -qxF "  $file  $(stat -c %s "$release/$file")" "$note" || fault "the note lacks $file with its size"
  done < <(sed 's/^[0-9a-f]\{64\}  //' "$release/SHA256SUMS")
}

echo "== release-test: what release.sh refuses before it builds"
# A repository of its own with release.sh and one uncommitted file: the
# refusals come before anything is built.
clone=$tmp/clone
mkdir -p "$clone/tools"
cp tools/release.sh "$clone/tools/release.sh"
git -C "$clone" init -q
git -C "$clone" add tools/release.sh
git -C "$clone" -c user.name=test -c user.email=test@invalid commit -q -m release.sh
touch "$clone/uncommitted-file"
openssl req -x509 -newkey rsa:3072 -nodes -days 2 -keyout "$tmp/key.pem" -out "$tmp/cert.pem" \
  -subj "/CN=ORVANTO release test (throw-away)/O=ORVANTO" \
  -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature 2>/dev/null
if "$clone/tools/release.sh" --no-image >"$tmp/out" 2>&1; then
  fault "release.sh built from a tree with uncommitted changes"
fi
grep -q "uncommitted changes" "$tmp/out" || fault "release.sh refused a dirty tree without saying why: $(cat "$tmp/out")"
cp "$tmp/key.pem" "$clone/key.pem"
if "$clone/tools/release.sh" --no-image --allow-dirty --key "$clone/key.pem" --cert "$tmp/cert.pem" >"$tmp/out" 2>&1; then
  fault "release.sh took a signing key from inside the tree"
fi
grep -q "inside the source tree" "$tmp/out" || fault "release.sh refused a key in the tree without saying why: $(cat "$tmp/out")"
if "$clone/tools/release.sh" --allow-dirty >"$tmp/out" 2>&1; then
  fault "release.sh built without --image or --no-image"
fi
grep -q "name the firmware image" "$tmp/out" || fault "release.sh refused a release without an image choice without saying why: $(cat "$tmp/out")"
[ ! -e "$clone/build/release" ] || fault "a refused release left $clone/build/release"

# A tree with uncommitted changes (a developer's) needs --allow-dirty; a
# clean clone (CI) runs the release as a maker does.
allow=()
if [ -n "$(git status --porcelain --untracked-files=normal)" ]; then
  echo "release-test: the tree has uncommitted changes: release.sh runs with --allow-dirty"
  allow=(--allow-dirty)
fi

echo "== release-test: unsigned, without an image, against the reproducible build in $first"
cmake --build "$first" --target orvanto-updater shell_e2e_test >/dev/null
tools/release.sh --no-image "${allow[@]}" >"$tmp/out" 2>&1 || { cat "$tmp/out"; fault "release.sh (unsigned) failed"; }
grep -q "UNSIGNED" "$tmp/out" || fault "release.sh did not say that the program is unsigned"
cmp -s "$release/orvanto-updater.exe" "$first/orvanto-updater.exe" ||
  fault "the unsigned $release/orvanto-updater.exe is not the reproducible build $first/orvanto-updater.exe"
check_sums
check_note
grep -q "^Firmware image: none" "$release/RELEASE.txt" || fault "the note of a release without an image does not say so"
grep -q "^Signature of orvanto-updater.exe: none" "$release/RELEASE.txt" || fault "the note of an unsigned release does not say so"
unsigned_size=$(stat -c %s "$release/orvanto-updater.exe")

echo "== release-test: signed with a throw-away certificate, with a test image"
# Not firmware: random bytes, a multiple of 16, made for this run.
image=$tmp/orvanto-test-image.bin
head -c 65536 /dev/urandom >"$image"
tools/release.sh --image "$image" --key "$tmp/key.pem" --cert "$tmp/cert.pem" "${allow[@]}" >"$tmp/out" 2>&1 ||
  { cat "$tmp/out"; fault "release.sh (signed) failed"; }
! grep -q "UNSIGNED" "$tmp/out" || fault "release.sh said UNSIGNED although it was given a key"
signed=$release/orvanto-updater.exe
osslsigncode verify -CAfile "$tmp/cert.pem" -in "$signed" >"$tmp/verify" 2>&1 ||
  { cat "$tmp/verify"; fault "osslsigncode verify refuses the signed program against its certificate"; }
grep -q "ORVANTO release test (throw-away)" "$tmp/verify" || fault "the signature's signer is not the test certificate"
[ "$(stat -c %s "$signed")" -gt "$unsigned_size" ] || fault "the signed program is no larger than the unsigned one"

openssl req -x509 -newkey rsa:3072 -nodes -days 2 -keyout "$tmp/other-key.pem" -out "$tmp/other-cert.pem" \
  -subj "/CN=ORVANTO release test (another)/O=ORVANTO" \
  -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature 2>/dev/null
if osslsigncode verify -CAfile "$tmp/other-cert.pem" -in "$signed" >/dev/null 2>&1; then
  fault "osslsigncode verify accepts the program against a certificate that did not sign it"
fi
# One byte of the code (inside .text, covered by the signature) changed.
cp "$signed" "$tmp/changed.exe"
byte=$(od -An -tu1 -j 8192 -N1 "$signed" | tr -d ' ')
printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$tmp/changed.exe" bs=1 seek=8192 conv=notrunc status=none
cmp -s "$signed" "$tmp/changed.exe" && fault "the byte was not changed"
if osslsigncode verify -CAfile "$tmp/cert.pem" -in "$tmp/changed.exe" >/dev/null 2>&1; then
  fault "osslsigncode verify accepts the program with one byte changed after signing"
fi

python3 tools/check_executable.py "$signed" >"$tmp/pe" || { cat "$tmp/pe"; fault "the signed program fails the PE checks"; }
check_sums
check_note
grep -qxF "Firmware image: orvanto-test-image.bin, 65536 bytes, SHA-256 $(sha256sum "$image" | cut -d' ' -f1)" \
  "$release/RELEASE.txt" || fault "the note does not name the image with its size and SHA-256"
grep -q "^Signature of orvanto-updater.exe: Authenticode (SHA-256), signed by .*ORVANTO release test" \
  "$release/RELEASE.txt" || fault "the note does not name the signer"

echo "== release-test: the signed program under Wine, without a unit"
# The shell test starts the orvanto-updater.exe two folders above its own;
# here that is the signed one and nothing else.
run=$work/wine-run
rm -rf "$run"
mkdir -p "$run/tests/wine"
cp "$first/tests/wine/shell_e2e_test.exe" "$run/tests/wine/"
cp "$signed" "$run/orvanto-updater.exe"
shot=$work/signed-main-en.png
rm -f "$shot"
tools/with-wine.sh "$work/wine-prefix" --lang en_US.UTF-8 -- bash -c '
  set -eo pipefail
  wine "'"$run"'/tests/wine/shell_e2e_test.exe" --gtest_filter=Updater.StartsWithoutUnitAndClosesWithZero
  tests/wine/screenshot-window.sh "'"$run"'/orvanto-updater.exe" "'"$shot"'"' >"$tmp/wine" 2>&1 ||
  { cat "$tmp/wine"; fault "the signed program did not start, show its no-unit window and close under Wine"; }
grep -q "PASSED.*1 test" "$tmp/wine" || { cat "$tmp/wine"; fault "the shell test ran no test against the signed program"; }
[ -s "$shot" ] || fault "no screenshot of the signed program"

echo "release-test: ok (screenshot of the signed program: $shot; the test release in $release is removed)"
