# Run by cpack on the staged package before it is built
# (CPACK_PRE_BUILD_SCRIPTS): what Debian's policy asks of a package and
# `cmake --install` has no use for. The man pages are compressed with
# gzip -9n (no name or time inside, so the package is the same from build to
# build), and the documentation directory gets the copyright file and a
# changelog in Debian's format.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(_root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(_doc ${_root}/share/doc/${CPACK_PACKAGE_NAME})

function(ipveil_gzip path)
  execute_process(COMMAND gzip -9nf ${path} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${path} failed")
  endif()
endfunction()

file(GLOB _pages ${_root}/share/man/man*/*.[1-9])
foreach(page IN LISTS _pages)
  ipveil_gzip(${page})
endforeach()

file(MAKE_DIRECTORY ${_doc})
file(COPY_FILE ${CPACK_IPVEIL_DEB_COPYRIGHT} ${_doc}/copyright)
# The date of this build, or SOURCE_DATE_EPOCH where it is set (a build that must come out the same).
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND date -u -R -d @$ENV{SOURCE_DATE_EPOCH} OUTPUT_VARIABLE _date OUTPUT_STRIP_TRAILING_WHITESPACE)
else()
  execute_process(COMMAND date -u -R OUTPUT_VARIABLE _date OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
file(WRITE ${_doc}/changelog "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Built from the ipveil source tree; see README.md for what it does.

 -- ${CPACK_PACKAGE_CONTACT}  ${_date}
")
ipveil_gzip(${_doc}/changelog)
file(CHMOD ${_doc}/copyright ${_doc}/changelog.gz PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
