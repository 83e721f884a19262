# What `cmake --install` puts where, and the packages CPack makes of it:
#   cpack -G DEB   from the Linux build: a Debian package (section hamradio)
#   cpack -G ZIP   from the MinGW build: pellomatic.exe, the examples with
#                  CR LF line ends, README and the manual pages as text
include(GNUInstallDirs)

set(PELLOMATIC_MAN_PAGES
    ${CMAKE_SOURCE_DIR}/docs/man/pellomatic.1
    ${CMAKE_SOURCE_DIR}/docs/man/pellomatic-sim.1
    ${CMAKE_SOURCE_DIR}/docs/man/pellomatic.conf.5
    ${CMAKE_SOURCE_DIR}/docs/man/pellomatic.rules.5)
# The COM numbers helper is a Linux program (on Windows the system numbers
# the ports).
if(NOT WIN32)
  list(APPEND PELLOMATIC_MAN_PAGES ${CMAKE_SOURCE_DIR}/docs/man/pellomatic-ports.1)
endif()
set(PELLOMATIC_EXAMPLES
    ${CMAKE_SOURCE_DIR}/examples/pellomatic.conf
    ${CMAKE_SOURCE_DIR}/examples/pellomatic.rules
    ${CMAKE_SOURCE_DIR}/examples/firmware.hex)
# Every guide in docs/, so that one added later is installed too.
file(GLOB PELLOMATIC_GUIDES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)

if(WIN32)
  # A flat folder the operator unpacks anywhere: the program at its top.
  set(PELLOMATIC_DOC_DIR doc)
  set(PELLOMATIC_EXAMPLE_DIR examples)
  install(TARGETS pellomatic RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)

  # The examples with Windows line ends, for Notepad and for the utility.
  foreach(example ${PELLOMATIC_EXAMPLES})
    get_filename_component(name ${example} NAME)
    file(READ ${example} text)
    string(REGEX REPLACE "\r?\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/examples-crlf/${name} "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${example})
    install(FILES ${CMAKE_BINARY_DIR}/examples-crlf/${name} DESTINATION ${PELLOMATIC_EXAMPLE_DIR})
  endforeach()

  # The manual pages rendered as plain text with CR LF line ends.
  find_program(PELLOMATIC_GROFF groff)
  if(PELLOMATIC_GROFF)
    set(rendered)
    foreach(page ${PELLOMATIC_MAN_PAGES})
      get_filename_component(name ${page} NAME)
      set(out ${CMAKE_BINARY_DIR}/man-text/${name}.txt)
      add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -DGROFF=${PELLOMATIC_GROFF} -DPAGE=${page} -DOUT=${out}
                -P ${CMAKE_SOURCE_DIR}/cmake/render-man-text.cmake
        DEPENDS ${page} ${CMAKE_SOURCE_DIR}/cmake/render-man-text.cmake
        COMMENT "Rendering ${name} as text")
      list(APPEND rendered ${out})
    endforeach()
    add_custom_target(pellomatic_man_text ALL DEPENDS ${rendered})
    install(FILES ${rendered} DESTINATION ${PELLOMATIC_DOC_DIR})
  else()
    message(STATUS "groff not found: the package leaves out the manual pages")
  endif()
else()
  set(PELLOMATIC_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
  set(PELLOMATIC_EXAMPLE_DIR ${CMAKE_INSTALL_DOCDIR}/examples)
  install(TARGETS pellomatic pellomatic-sim pellomatic-ports RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${PELLOMATIC_DOC_DIR})
  install(FILES ${PELLOMATIC_EXAMPLES} DESTINATION ${PELLOMATIC_EXAMPLE_DIR})

  # Manual pages compressed as Debian does (gzip -9, no name or time stamp).
  set(compressed)
  foreach(page ${PELLOMATIC_MAN_PAGES})
    get_filename_component(name ${page} NAME)
    string(REGEX MATCH "[0-9]$" section ${name})
    set(out ${CMAKE_BINARY_DIR}/man/man${section}/${name}.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man/man${section}
      COMMAND gzip -9nc ${page} > ${out}
      DEPENDS ${page}
      COMMENT "Compressing ${name}")
    list(APPEND compressed ${out})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(pellomatic_man_pages ALL DEPENDS ${compressed})

  # The Debian changelog and copyright, where Debian policy wants them.
  set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog > ${changelog}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog)
  add_custom_target(pellomatic_changelog ALL DEPENDS ${changelog})
  install(FILES ${changelog} ${CMAKE_SOURCE_DIR}/packaging/copyright
          DESTINATION ${PELLOMATIC_DOC_DIR})
endif()
install(FILES ${PELLOMATIC_GUIDES} DESTINATION ${PELLOMATIC_DOC_DIR})

set(CPACK_PACKAGE_NAME pellomatic)
set(CPACK_PACKAGE_VENDOR "Pellomatic host utility team")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Pellomatic host utility team <pellomatic@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host utility for the Pellomatic packet-radio digipeater")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${CMAKE_SOURCE_DIR}/packaging/description)
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
if(WIN32)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING AND NOT WIN32)
  # A package for the target's architecture, whose Depends name the target's
  # own packages (computed when CPack runs, from the built programs).
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PELLOMATIC_DEB_ARCH})
  set(CPACK_PELLOMATIC_CROSS_TRIPLE ${PELLOMATIC_CROSS_TRIPLE})
  set(CPACK_PELLOMATIC_BINARY_DIR ${CMAKE_BINARY_DIR})
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cross-depends.cmake)
endif()
# The Debian long description (CPack puts the summary line before it); an
# empty line is written as " .".
file(READ ${CPACK_PACKAGE_DESCRIPTION_FILE} long_description)
string(STRIP "${long_description}" long_description)
string(REGEX REPLACE "\n\n" "\n.\n" long_description "${long_description}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${long_description}")

include(CPack)
