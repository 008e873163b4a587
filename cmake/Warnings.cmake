# Project-wide warning set; CI builds with TARVIK_WERROR=ON so a new warning fails the build.
function(tarvik_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion -Wnon-virtual-dtor -Wold-style-cast
                                           -Woverloaded-virtual -Wformat=2)
  if(TARVIK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
