# Read by cpack before it packages (CPACK_PROJECT_CONFIG_FILE). CPack needs
# file(1) to find the binaries and dpkg-shlibdeps to derive the shared
# libraries they need; missing either, it only warns and writes a .deb with
# no Depends: line, which installs and then fails to run. Fail instead.
cmake_policy(SET CMP0109 NEW)  # a program is what may be executed
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(_ipveil_file_command file)
  find_program(_ipveil_shlibdeps_command dpkg-shlibdeps)
  set(_ipveil_missing "")
  if(NOT _ipveil_file_command)
    list(APPEND _ipveil_missing "file (package file)")
  endif()
  if(NOT _ipveil_shlibdeps_command)
    list(APPEND _ipveil_missing "dpkg-shlibdeps (package dpkg-dev)")
  endif()
  if(_ipveil_missing)
    list(JOIN _ipveil_missing ", " _ipveil_missing)
    message(FATAL_ERROR "Building the .deb needs ${_ipveil_missing} to list the package's dependencies; install "
                        "them (apt-get install file dpkg-dev) and run cpack again.")
  endif()
endif()
