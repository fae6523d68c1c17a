# Build-time step that embeds a firmware image, run whenever the image file
# changes (not only when CMake is configured):
#
#   cmake -DIMAGE=path|"" -DKIND=PRODUCT|TEST -DOUTPUT_DIR=dir -P embed_firmware_image.cmake
#
# Refuses the image as the configure step does (orvanto_check_firmware_image),
# copies it to OUTPUT_DIR/firmware.bin so that what is embedded is exactly
# what was checked, and records its SHA-256 digest, which the program checks
# before it sends anything. Writes, each only when its contents change:
#   firmware.rc           the resources IDR_FIRMWARE (141) and
#                         IDR_FIRMWARE_DIGEST (241), language German
#   firmware_digest.inc   the digest's 32 bytes as a C++ initialiser
#   firmware_image.inc    the image's bytes as a C++ initialiser, for builds
#                         without resource files
# Without an image (IMAGE empty) the three files say so and carry nothing.
include(${CMAKE_CURRENT_LIST_DIR}/FirmwareImage.cmake)

function(write_if_changed path contents)
  if(EXISTS "${path}")
    file(READ "${path}" old)
    if(old STREQUAL contents)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${contents}")
endfunction()

file(MAKE_DIRECTORY "${OUTPUT_DIR}")
set(copy "${OUTPUT_DIR}/firmware.bin")

if(IMAGE STREQUAL "")
  file(REMOVE "${copy}")
  write_if_changed("${OUTPUT_DIR}/firmware.rc" "// No firmware image in this build.\n")
  write_if_changed("${OUTPUT_DIR}/firmware_digest.inc" "// No firmware image in this build.\n")
  write_if_changed("${OUTPUT_DIR}/firmware_image.inc" "// No firmware image in this build.\n")
  return()
endif()

orvanto_check_firmware_image("${IMAGE}" "${KIND}")
file(SHA256 "${IMAGE}" digest)
file(COPY_FILE "${IMAGE}" "${copy}" ONLY_IF_DIFFERENT)
# The copy is what gets embedded: it must be the image that was checked.
file(SHA256 "${copy}" copied)
if(NOT copied STREQUAL digest)
  file(REMOVE "${copy}")
  message(FATAL_ERROR "firmware image ${IMAGE} changed while it was being embedded")
endif()

# Sixteen little-endian 16-bit words for the resource compiler, and 32 bytes
# for C++.
set(words "")
set(bytes "")
foreach(i RANGE 0 62 4)
  string(SUBSTRING "${digest}" ${i} 2 low)
  math(EXPR j "${i} + 2")
  string(SUBSTRING "${digest}" ${j} 2 high)
  string(APPEND words "  0x${high}${low},\n")
  string(APPEND bytes "0x${low},0x${high},")
endforeach()
string(REGEX REPLACE ",\n$" "\n" words "${words}")

file(TO_CMAKE_PATH "${copy}" copy_path)
write_if_changed("${OUTPUT_DIR}/firmware.rc"
  "// Made at build time from ${IMAGE}.\nLANGUAGE LANG_GERMAN, SUBLANG_GERMAN\nIDR_FIRMWARE RCDATA \"${copy_path}\"\nIDR_FIRMWARE_DIGEST RCDATA\nBEGIN\n${words}END\n")
write_if_changed("${OUTPUT_DIR}/firmware_digest.inc" "// SHA-256 of the firmware image.\n${bytes}\n")

file(READ "${copy}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," image_bytes "${hex}")
write_if_changed("${OUTPUT_DIR}/firmware_image.inc" "// The firmware image's bytes.\n${image_bytes}\n")
