# The anonymization key built into the command: 64 hexadecimal digits, bytes
# 0-15 the AES-128 key and bytes 16-31 the pad seed. The default below is
# public; a deployment that shares traces sets its own secret key with
# -DIPVEIL_KEY=<64 hex digits>.
set(IPVEIL_DEFAULT_KEY "6f807ded2e1e4ccfbed418caa4c6af8a6ff55867260a0ec10ff46c5455bd57ef")
set(IPVEIL_KEY "${IPVEIL_DEFAULT_KEY}" CACHE STRING "Anonymization key: 64 hexadecimal digits (32 bytes)")

if(NOT IPVEIL_KEY MATCHES "^[0-9A-Fa-f]+$")
  message(FATAL_ERROR "IPVEIL_KEY must be 64 hexadecimal digits; it holds other characters.")
endif()
string(LENGTH "${IPVEIL_KEY}" _ipveil_key_length)
if(NOT _ipveil_key_length EQUAL 64)
  message(FATAL_ERROR "IPVEIL_KEY must be 64 hexadecimal digits (32 bytes); it has ${_ipveil_key_length}.")
endif()
if(IPVEIL_KEY STREQUAL IPVEIL_DEFAULT_KEY)
  message(STATUS "ipveil: building with the public default key; set IPVEIL_KEY for a deployment")
endif()

string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " IPVEIL_KEY_BYTES "${IPVEIL_KEY}")
string(REGEX REPLACE ", $" "" IPVEIL_KEY_BYTES "${IPVEIL_KEY_BYTES}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/ipveil_key.h.in ${PROJECT_BINARY_DIR}/generated/ipveil_key.h @ONLY)
