# Installation and the Debian package (cpack -G DEB, or scripts/package.sh). The package carries
# both programs, their manual pages, the desktop entry with its icon, the README and the examples;
# its dependencies are worked out by dpkg-shlibdeps from the libraries the programs link.
include(GNUInstallDirs)

install(TARGETS tarvik-host tarvik-validator RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The pages are kept as roff source; the build puts the project version in and compresses them,
# as Debian wants (gzip -n keeps the package reproducible).
find_program(GZIP_PROGRAM gzip REQUIRED)
set(tarvik_man_pages tarvik-host.1 tarvik-validator.1)
set(tarvik_man_outputs)
foreach(page ${tarvik_man_pages})
  set(source ${PROJECT_BINARY_DIR}/man/${page})
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page} ${source} @ONLY)
  set(output ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${output}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                     COMMAND ${GZIP_PROGRAM} -9nc ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
  list(APPEND tarvik_man_outputs ${output})
endforeach()
add_custom_target(tarvik_man_pages ALL DEPENDS ${tarvik_man_outputs})
install(FILES ${tarvik_man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES packaging/tarvik-host.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/tarvik-host.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(tarvik_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/tarvik-host)
install(FILES README.md packaging/copyright DESTINATION ${tarvik_doc_dir})
install(FILES tools/validator/README.md DESTINATION ${tarvik_doc_dir} RENAME README.validator.md)
if(EXISTS ${PROJECT_SOURCE_DIR}/examples)
  install(DIRECTORY examples/ DESTINATION ${tarvik_doc_dir}/examples)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "TARVIK Host Simulator")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host simulator for a banknote validator on a serial port")
set(CPACK_PACKAGE_DESCRIPTION
    "tarvik-host plays the host machine in front of one banknote validator on one\n\
serial port: it polls, commands, configures and reprograms the validator and\n\
shows every frame on the line in a communication log, in a Qt window or on the\n\
console. tarvik-validator is a virtual validator on a pseudo-terminal for\n\
trying the host without hardware.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TARVIK Host Simulator maintainers <tarvik-host@localhost>")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
include(CPack)
