# Sanitizers apply to every target, the test programs included, so they are set globally.
if(TARVIK_SANITIZER STREQUAL "asan")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(TARVIK_SANITIZER STREQUAL "tsan")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(TARVIK_SANITIZER STREQUAL "fuzz")
  # libFuzzer's coverage everywhere; its main only in the fuzz targets (tests/fuzz).
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT TARVIK_SANITIZER STREQUAL "")
  message(FATAL_ERROR "TARVIK_SANITIZER must be empty, asan, tsan or fuzz")
endif()
