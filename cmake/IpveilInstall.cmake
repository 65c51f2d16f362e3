# Installation: the commands, their man pages, the public headers under
# include/ipveil/, the libraries, and a CMake package so that another project
# can find_package(ipveil) and link ipveil::aes, ipveil::address and
# ipveil::anonymizer.
# CPack turns the same layout into a Debian package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(IPVEIL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ipveil)

# The commands carry the key; a keyed build restricts who may read and run
# them (IpveilKey.cmake).
get_property(_ipveil_keyed_commands GLOBAL PROPERTY IPVEIL_KEYED_COMMANDS)
install(TARGETS ${_ipveil_keyed_commands} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        PERMISSIONS ${IPVEIL_EXECUTABLE_PERMISSIONS})
# ipveil_cpu, the CPU probe the others link, goes along without a header.
install(TARGETS ipveil_aes ipveil_address ipveil_anonymizer ipveil_cpu
        EXPORT ipveilTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ipveil)
install(EXPORT ipveilTargets NAMESPACE ipveil:: DESTINATION ${IPVEIL_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ipveilConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/ipveilConfig.cmake INSTALL_DESTINATION ${IPVEIL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ipveilConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ipveilConfig.cmake ${PROJECT_BINARY_DIR}/ipveilConfigVersion.cmake
        DESTINATION ${IPVEIL_CMAKE_DIR})

install(FILES ${PROJECT_SOURCE_DIR}/man/ipveil.1 ${PROJECT_SOURCE_DIR}/man/ipveil-reveal.1 ${PROJECT_SOURCE_DIR}/man/ipveil-pcap.1
              ${PROJECT_SOURCE_DIR}/man/ipveil-log.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The scripts of contrib/ as commands beside ipveil (ipveil-parallel runs the
# ipveil it finds beside itself); they hold no key. The installed copies have
# the project's version written into their empty "version=" line: away from
# the source tree they cannot read it from this project's CMakeLists.txt.
set(_ipveil_scripts "")
foreach(_script ipveil-parallel pcap-to-trace)
  set(_source ${PROJECT_SOURCE_DIR}/contrib/${_script})
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_source})
  file(READ ${_source} _text)
  string(REPLACE "\nversion=\n" "\nversion=${PROJECT_VERSION}\n" _versioned "${_text}")
  if(_versioned STREQUAL _text)
    message(FATAL_ERROR "contrib/${_script} has no empty line \"version=\" for the version")
  endif()
  # Copied on only when it changes, so that an install does not see it new.
  file(WRITE ${PROJECT_BINARY_DIR}/contrib/${_script}.new "${_versioned}")
  configure_file(${PROJECT_BINARY_DIR}/contrib/${_script}.new ${PROJECT_BINARY_DIR}/contrib/${_script} COPYONLY)
  list(APPEND _ipveil_scripts ${PROJECT_BINARY_DIR}/contrib/${_script})
endforeach()
install(PROGRAMS ${_ipveil_scripts} DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/ipveil-parallel.1 ${PROJECT_SOURCE_DIR}/man/pcap-to-trace.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ipveil)
set(CPACK_PACKAGE_VENDOR "ipveil developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Prefix-preserving anonymization of IPv4 and IPv6 addresses in packet traces")
# The package's long description, in lines of Debian's width (CPack does not
# wrap them).
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "ipveil replaces every IPv4 and IPv6 address of a text packet trace by its"
       "image under a keyed, prefix-preserving permutation built on AES-128, so"
       "that traces can be shared: addresses that share a prefix keep sharing it."
       "ipveil-pcap does the same to pcap and pcapng captures, their MAC"
       "addresses included, and writes a capture; ipveil-log rewrites the"
       "addresses of Zeek, CSV, TSV, JSON and free-text logs in place."
       "ipveil-reveal maps the images back for the key holder; ipveil-parallel"
       "spreads one trace over several processes, and pcap-to-trace turns a"
       "capture into a trace. Also the headers, static libraries and CMake"
       "package of the anonymizer, for other programs.")
set(CPACK_PACKAGE_CONTACT "Seed 5a52ca10 maintainers <maintainers@users.noreply.c-seed-5a52ca10.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS tshark)  # for pcap-to-trace
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# The package and CPack's staging tree stay in the build tree, out of the
# source tree and, for a keyed build, closed to other users with it.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
# Refuses to build a .deb without the tools that compute its Depends.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/IpveilCPackChecks.cmake)
# What Debian asks of a package beyond the installed files: man pages
# compressed, a copyright file and a changelog.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/IpveilDebFiles.cmake)
set(CPACK_IPVEIL_DEB_COPYRIGHT ${CMAKE_CURRENT_LIST_DIR}/deb/copyright)
include(CPack)
