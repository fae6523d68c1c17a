#!/usr/bin/env bash
# The firmware image is checked whenever it is embedded, not only when CMake
# is configured: a scratch build is configured with a good image, which is
# embedded with its digest; the image file is then replaced by one the
# product must refuse (a size not a multiple of 16, then the stand-in), and
# the next build must fail instead of embedding it unchecked.
#
#   check_image_embedding.sh SOURCE_DIR SCRATCH_DIR STANDIN_IMAGE
set -euo pipefail
source_dir=$1
scratch=$2
standin=$3

rm -rf "$scratch"
mkdir -p "$scratch"
image=$scratch/image.bin
head -c 4096 /dev/urandom >"$image"

cmake -S "$source_dir" -B "$scratch/build" -G Ninja -DORVANTO_BUILD_TESTS=OFF \
  -DORVANTO_FIRMWARE_IMAGE="$image" >"$scratch/configure.log"
cmake --build "$scratch/build" --target orvanto_product_image >"$scratch/build.log"

generated=$scratch/build/generated/product
cmp "$image" "$generated/firmware.bin"
expected=$(sha256sum "$image" | cut -c1-64 | sed 's/../0x&,/g')
recorded=$(tail -n +2 "$generated/firmware_digest.inc" | tr -d '\n')
if [ "$expected" != "$recorded" ]; then
  echo "recorded digest $recorded, expected $expected" >&2
  exit 1
fi
echo "a good image is embedded with its digest"

for bad in forty-bytes standin; do
  if [ "$bad" = forty-bytes ]; then
    printf '0123456789012345678901234567890123456789' >"$image"
  else
    cp "$standin" "$image"
  fi
  if cmake --build "$scratch/build" --target orvanto_product_image >"$scratch/build-$bad.log" 2>&1; then
    echo "the build embedded the $bad image it must refuse" >&2
    exit 1
  fi
  grep -q "firmware image" "$scratch/build-$bad.log"
  echo "the $bad image, changed after configuring, is refused by the build"
done
rm -rf "$scratch"
