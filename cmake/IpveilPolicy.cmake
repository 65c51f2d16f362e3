# The address policy built into the commands, like their key: ipveil keeps its
# one-argument interface, so a policy for it can only be built in.
#   -DIPVEIL_POLICY_FILE=path   policy text (special, preserve P/L, keep P/L,
#                               only P/L; one rule a line, '#' comments)
# Without one, the commands map every address alike, as they always have.
# A policy is public: the file is read as it is and goes into the build
# tree in clear. A truncating policy is refused here, as ipveil-reveal could
# not turn its images back; the rest is checked when the commands are built
# (ipveil_policy_check), by the parser they run.
set(IPVEIL_POLICY_FILE "" CACHE FILEPATH "File holding the address policy built into the commands (none by default)")

set(IPVEIL_POLICY_TEXT "")
if(NOT IPVEIL_POLICY_FILE STREQUAL "")
  if(NOT EXISTS "${IPVEIL_POLICY_FILE}" OR IS_DIRECTORY "${IPVEIL_POLICY_FILE}")
    message(FATAL_ERROR "IPVEIL_POLICY_FILE ${IPVEIL_POLICY_FILE} is not a file.")
  endif()
  file(READ "${IPVEIL_POLICY_FILE}" IPVEIL_POLICY_TEXT)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${IPVEIL_POLICY_FILE}")
  # A rule is the line's first word, after blanks and before any comment.
  string(REGEX MATCH "(^|\n)[ \t]*truncate[46]" _ipveil_truncates "${IPVEIL_POLICY_TEXT}")
  if(_ipveil_truncates)
    message(FATAL_ERROR "IPVEIL_POLICY_FILE ${IPVEIL_POLICY_FILE} truncates images, which ipveil-reveal could not "
                        "turn back. Build the commands without truncation, and truncate a release with "
                        "ipveil-pcap --policy.")
  endif()
  string(FIND "${IPVEIL_POLICY_TEXT}" ")ipveil_policy\"" _ipveil_delimiter)
  if(NOT _ipveil_delimiter EQUAL -1)
    message(FATAL_ERROR "IPVEIL_POLICY_FILE ${IPVEIL_POLICY_FILE} holds text that is no policy: )ipveil_policy\"")
  endif()
  message(STATUS "ipveil: building with the address policy in ${IPVEIL_POLICY_FILE}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/ipveil_policy.h.in ${PROJECT_BINARY_DIR}/generated/ipveil_policy.h @ONLY)
unset(IPVEIL_POLICY_TEXT)
