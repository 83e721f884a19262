# Run by CPack (CPACK_PROJECT_CONFIG_FILE) before it makes the .deb of a
# cross build: the package's Depends, computed from the built programs.
#
# dpkg-shlibdeps finds the target's libraries in Debian's cross packages
# (libc6-arm64-cross, ...), whose shlibs and symbols files name either the
# target's own package with an architecture qualifier (libc6:arm64) or the
# cross package itself (libgcc-s1-arm64-cross). A package for the target
# must name the target's packages: each entry becomes the plain name
# (libc6, libgcc-s1), and an entry without a version gets the version of
# the cross package it was built against (the same source release, without
# its "cross" suffix), so the Depends never asks for less than the programs
# were linked with.
if(NOT CPACK_GENERATOR STREQUAL "DEB" OR NOT CPACK_PELLOMATIC_CROSS_TRIPLE)
  return()
endif()
set(arch ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
set(work ${CPACK_PELLOMATIC_BINARY_DIR}/shlibdeps)
file(MAKE_DIRECTORY ${work}/debian)
file(TOUCH ${work}/debian/control)
set(programs)
foreach(program pellomatic pellomatic-sim pellomatic-ports)
  list(APPEND programs -e${CPACK_PELLOMATIC_BINARY_DIR}/bin/${program})
endforeach()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${arch}
          DEB_HOST_GNU_TYPE=${CPACK_PELLOMATIC_CROSS_TRIPLE}
          dpkg-shlibdeps -O -l/usr/${CPACK_PELLOMATIC_CROSS_TRIPLE}/lib ${programs}
  WORKING_DIRECTORY ${work}
  OUTPUT_VARIABLE found ERROR_VARIABLE warnings RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT found MATCHES "^shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "dpkg-shlibdeps failed on the ${arch} programs: ${warnings}")
endif()
string(REPLACE ", " ";" entries "${CMAKE_MATCH_1}")
set(depends)
foreach(entry ${entries})
  if(NOT entry MATCHES "^([^ :]+)(:[a-z0-9]+)?( \\(.+\\))?$")
    message(FATAL_ERROR "unexpected dependency from dpkg-shlibdeps: ${entry}")
  endif()
  set(version "${CMAKE_MATCH_3}")
  string(REGEX REPLACE "-${arch}-cross$" "" name "${CMAKE_MATCH_1}")
  if(NOT version)
    execute_process(COMMAND dpkg-query -W -f=\${Version} ${name}-${arch}-cross
                    OUTPUT_VARIABLE built RESULT_VARIABLE status)
    string(REGEX REPLACE "cross[0-9]+$" "" built "${built}")
    if(NOT status EQUAL 0 OR NOT built)
      message(FATAL_ERROR "no ${name}-${arch}-cross package to take the version of ${name} from")
    endif()
    set(version " (>= ${built})")
  endif()
  list(APPEND depends "${name}${version}")
endforeach()
list(JOIN depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
