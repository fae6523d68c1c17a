# Refuses a firmware image that cannot be written whole: missing, empty, or
# with a size that is not a multiple of 16 bytes. For the product (PRODUCT)
# it also refuses the stand-in image, which carries a marker in its first 16
# bytes.
function(orvanto_check_firmware_image path kind)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "firmware image ${path} does not exist")
  endif()
  file(SIZE "${path}" size)
  math(EXPR rest "${size} % 16")
  if(size EQUAL 0 OR NOT rest EQUAL 0)
    message(FATAL_ERROR "firmware image ${path} has ${size} bytes: it must be non-empty and a multiple of 16")
  endif()
  if(kind STREQUAL "PRODUCT")
    # "STAND-IN NOT FW!", compared in hex: a text read of binary data is not exact.
    file(READ "${path}" head LIMIT 16 HEX)
    if(head STREQUAL "5354414e442d494e204e4f5420465721")
      message(FATAL_ERROR "firmware image ${path} is the stand-in image: it is not firmware and is never embedded in the product")
    endif()
  endif()
endfunction()
