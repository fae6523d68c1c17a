# Script mode: cmake -DIMAGE=path -DKIND=PRODUCT|TEST -P check_firmware_image.cmake
# Fails as the build would for that image.
include(${CMAKE_CURRENT_LIST_DIR}/FirmwareImage.cmake)
orvanto_check_firmware_image("${IMAGE}" "${KIND}")
