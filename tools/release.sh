#!/usr/bin/env bash
# Builds a release from a clean tree: the release orvanto-updater.exe (the
# reproducible build that tests/check-reproducible.sh compares) and the
# product page's site/, each from scratch in build/release-work/, and writes
# them with a release note and SHA256SUMS into build/release/:
#
#   build/release/orvanto-updater.exe   signed with Authenticode when a key is given
#   build/release/site/                 the product page, as it is served
#   build/release/RELEASE.txt           versions, the image's SHA-256, the sizes
#   build/release/SHA256SUMS            every file above; cd build/release && sha256sum -c SHA256SUMS
#
#   tools/release.sh (--image IMAGE.bin | --no-image)
#                    [--key KEY.pem --cert CERT.pem [--pass-file FILE] [--ca CA.pem]]
#                    [--timestamp URL] [--allow-dirty]
#
# --image names the firmware image that the program and the page carry;
# --no-image builds a release without one (Update then refuses before
# anything is sent) and the note says so. One of the two must be given.
# --key and --cert (PEM; the key from outside this tree, its passphrase in
# --pass-file if it has one) sign the program with osslsigncode; the
# signature is then verified against --ca, or against the certificate
# itself when none is named (a self-signed certificate). Without them the
# program stays unsigned and the script says so. --timestamp has the
# signature time-stamped by that RFC 3161 server. --allow-dirty builds from
# a tree with uncommitted changes; the note then says that it is not the
# release of a commit. Nothing is left in build/release/ when a step fails.
#
# What the script says goes to standard error; the builds' own output goes
# to build/release-work/build.log, whose last lines are shown, with the step,
# when a build fails. Standard output gets the release's folder and the head
# of its note once it is made.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

fail() {
  echo "release: $*" >&2
  exit 1
}

image="" no_image=no key="" cert="" pass_file="" ca="" timestamp="" allow_dirty=no
while [ $# -gt 0 ]; do
  case "$1" in
    --image) [ $# -ge 2 ] || fail "--image needs a file"; image=$2; shift 2 ;;
    --no-image) no_image=yes; shift ;;
    --key) [ $# -ge 2 ] || fail "--key needs a file"; key=$2; shift 2 ;;
    --cert) [ $# -ge 2 ] || fail "--cert needs a file"; cert=$2; shift 2 ;;
    --pass-file) [ $# -ge 2 ] || fail "--pass-file needs a file"; pass_file=$2; shift 2 ;;
    --ca) [ $# -ge 2 ] || fail "--ca needs a file"; ca=$2; shift 2 ;;
    --timestamp) [ $# -ge 2 ] || fail "--timestamp needs a URL"; timestamp=$2; shift 2 ;;
    --allow-dirty) allow_dirty=yes; shift ;;
    *) fail "unknown option $1 (see the head of tools/release.sh)" ;;
  esac
done

# The firmware image: named, or explicitly none.
if [ -n "$image" ] && [ "$no_image" = yes ]; then
  fail "--image and --no-image exclude each other"
elif [ -z "$image" ] && [ "$no_image" = no ]; then
  fail "name the firmware image with --image FILE, or build a release without one with --no-image"
fi
if [ -n "$image" ]; then
  [ -f "$image" ] || fail "firmware image $image does not exist"
  image=$(realpath "$image")
  image_digest=$(sha256sum "$image" | cut -d' ' -f1)
fi

# The signing key: both halves or neither, and the key never from this tree.
signing=no
if [ -n "$key" ] || [ -n "$cert" ]; then
  [ -n "$key" ] && [ -n "$cert" ] || fail "signing needs both --key and --cert"
  for f in "$key" "$cert" ${pass_file:+"$pass_file"} ${ca:+"$ca"}; do
    [ -f "$f" ] || fail "$f does not exist"
  done
  for f in "$key" ${pass_file:+"$pass_file"}; do
    case "$(realpath "$f")/" in
      "$root"/*) fail "$f lies inside the source tree: keep signing keys outside it" ;;
    esac
  done
  key=$(realpath "$key")
  cert=$(realpath "$cert")
  [ -n "$pass_file" ] && pass_file=$(realpath "$pass_file")
  [ -n "$ca" ] && ca=$(realpath "$ca")
  command -v osslsigncode >/dev/null || fail "osslsigncode is missing (tools/install-deps.sh installs it)"
  signing=yes
elif [ -n "$pass_file" ] || [ -n "$ca" ] || [ -n "$timestamp" ]; then
  fail "--pass-file, --ca and --timestamp need --key and --cert"
fi

# A release is built from a commit.
if ! commit=$(git rev-parse --verify HEAD 2>/dev/null); then
  [ "$allow_dirty" = yes ] || fail "this is no git work tree: a release is built from a commit (--allow-dirty builds anyway)"
  commit=none
  source_state="no commit: not the release of a commit"
elif [ -n "$(git status --porcelain --untracked-files=normal)" ]; then
  if [ "$allow_dirty" = no ]; then
    git status --short >&2
    fail "the tree has uncommitted changes (above): a release is built from a commit; commit them, or pass --allow-dirty"
  fi
  source_state="commit $commit with uncommitted changes: not the release of that commit"
else
  source_state="commit $commit, clean tree"
fi

work=build/release-work
out=build/release
staging=$work/staging
log=$work/build.log
rm -rf "$out" "$staging" "$work/windows" "$work/web"
mkdir -p "$staging"
: >"$log"

# Runs one step of the build, its output appended to the log. A step that
# fails ends the release with the log's last lines and the step's name.
step() {
  local name=$1
  shift
  echo "== release: $name" >&2
  echo "== $name: $*" >>"$log"
  if ! "$@" >>"$log" 2>&1; then
    echo "---- the last lines of $log:" >&2
    tail -n 40 "$log" >&2
    fail "$name failed (the whole output is in $log)"
  fi
}

image_option=-DORVANTO_FIRMWARE_IMAGE=$image

step "configuring orvanto-updater.exe from scratch (windows preset) in $work/windows" \
  cmake --preset windows -B "$work/windows" "$image_option"
step "building orvanto-updater.exe in $work/windows" \
  cmake --build "$work/windows" --target orvanto-updater
unsigned=$work/windows/orvanto-updater.exe
step "checking orvanto-updater.exe's PE headers" python3 tools/check_executable.py "$unsigned"

step "configuring the product page's site/ from scratch (web preset) in $work/web" \
  cmake --preset web -B "$work/web" "$image_option"
step "building the product page's site/ in $work/web" \
  env NODE_PATH=/usr/share/nodejs cmake --build "$work/web" --target orvanto_web_site
[ -f "$work/web/site/index.html" ] || fail "the web build left no site/index.html"

# What both builds embedded is the image that was named, unchanged.
for dir in "$work/windows" "$work/web"; do
  embedded=$dir/generated/product/firmware.bin
  if [ -n "$image" ]; then
    [ -f "$embedded" ] || fail "$dir embedded no firmware image"
    [ "$(sha256sum "$embedded" | cut -d' ' -f1)" = "$image_digest" ] ||
      fail "$dir embedded another image than $image (did it change during the build?)"
  else
    [ ! -e "$embedded" ] || fail "$dir embedded a firmware image although none was named"
  fi
done

cp -R "$work/web/site" "$staging/site"

if [ "$signing" = yes ]; then
  sign_options=(-certs "$cert" -key "$key" -h sha256 -n "ORVANTO firmware updater")
  [ -n "$pass_file" ] && sign_options+=(-readpass "$pass_file")
  [ -n "$timestamp" ] && sign_options+=(-ts "$timestamp")
  step "signing orvanto-updater.exe (Authenticode, osslsigncode)" \
    osslsigncode sign "${sign_options[@]}" -in "$unsigned" -out "$staging/orvanto-updater.exe"
  if ! verified=$(osslsigncode verify -CAfile "${ca:-$cert}" -in "$staging/orvanto-updater.exe" 2>&1); then
    echo "$verified" >&2
    fail "the signed program does not verify against ${ca:-$cert}"
  fi
  # The signer is the certificate that was named, not merely one the CA
  # file trusts.
  osslsigncode extract-signature -pem -in "$staging/orvanto-updater.exe" -out "$work/signature.pem" >>"$log" 2>&1
  signer_fingerprint=$(openssl x509 -in "$cert" -noout -fingerprint -sha256)
  openssl pkcs7 -in "$work/signature.pem" -print_certs |
    awk -v dir="$work" '/BEGIN CERTIFICATE/{c=""} {c=c $0 "\n"} /END CERTIFICATE/{printf "%s", c > (dir "/signer-" ++n ".pem")}'
  found=no
  for f in "$work"/signer-*.pem; do
    [ "$(openssl x509 -in "$f" -noout -fingerprint -sha256)" = "$signer_fingerprint" ] && found=yes
  done
  rm -f "$work"/signer-*.pem "$work/signature.pem"
  [ "$found" = yes ] || fail "the signature does not carry the certificate $cert"
  step "checking the signed orvanto-updater.exe's PE headers" \
    python3 tools/check_executable.py "$staging/orvanto-updater.exe"
  signer=$(openssl x509 -in "$cert" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
  signature="Authenticode (SHA-256), signed by $signer${timestamp:+, time-stamped by $timestamp}"
else
  echo "release: NO signing key given: orvanto-updater.exe is UNSIGNED (tools/release.sh --key KEY.pem --cert CERT.pem signs it)" >&2
  cp "$unsigned" "$staging/orvanto-updater.exe"
  signature="none: the program is unsigned"
fi

# The release note, with the versions as the builds wrote them; both builds
# must have written the same.
cmp -s "$work/windows/versions.txt" "$work/web/versions.txt" ||
  fail "the two builds wrote other versions ($work/windows/versions.txt, $work/web/versions.txt)"
program_version="" firmware_version=""
while IFS='=' read -r name value; do
  case "$name" in
    program) program_version=$value ;;
    firmware) firmware_version=$value ;;
  esac
done <"$work/windows/versions.txt"
[ -n "$program_version" ] && [ -n "$firmware_version" ] ||
  fail "$work/windows/versions.txt names no program or no firmware version"
{
  echo "ORVANTO firmware updater $program_version"
  echo
  echo "Firmware version it installs: $firmware_version"
  if [ -n "$image" ]; then
    echo "Firmware image: $(basename "$image"), $(stat -c %s "$image") bytes, SHA-256 $image_digest"
  else
    echo "Firmware image: none. This release carries no firmware; Update refuses before anything is sent to the unit."
  fi
  echo "Signature of orvanto-updater.exe: $signature"
  echo "Built from: $source_state"
  echo
  echo "Files (bytes):"
  (cd "$staging" && find . -type f ! -name RELEASE.txt -printf '%P\0' | sort -z | xargs -0 stat -c '  %n  %s')
  echo
  echo "Check the files: cd into this folder and run sha256sum -c SHA256SUMS"
} >"$staging/RELEASE.txt"

(cd "$staging" && find . -type f ! -name SHA256SUMS -printf '%P\0' | sort -z | xargs -0 sha256sum >SHA256SUMS)
(cd "$staging" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"

mv "$staging" "$out"
echo "release: $out ($(wc -l <"$out/SHA256SUMS") files in SHA256SUMS)"
sed -n '1,6p' "$out/RELEASE.txt"
