# The anonymization key built into the commands: 64 hexadecimal digits, bytes
# 0-15 the AES-128 key and bytes 16-31 the pad seed. The default below is
# public. A deployment that shares traces builds with its own secret key,
# preferably from a file:
#   -DIPVEIL_KEY_FILE=path   the 64 digits (a trailing newline allowed) in a
#                            file that only its owner may read or write; only
#                            the path goes into the cache
#   -DIPVEIL_KEY=<digits>    older form: the key itself lands in CMakeCache.txt
# A keyed build closes its build tree to everyone but its owner (the generated
# header, the object files, the binaries and a .deb staged by CPack hold the
# key, and with -DIPVEIL_KEY the cache too) and installs its commands with
# IPVEIL_EXECUTABLE_PERMISSIONS.
set(IPVEIL_DEFAULT_KEY "6f807ded2e1e4ccfbed418caa4c6af8a6ff55867260a0ec10ff46c5455bd57ef")
set(IPVEIL_KEY_FILE "" CACHE FILEPATH
    "File holding the anonymization key (64 hexadecimal digits), readable by its owner alone")

set(_ipveil_key_header ${PROJECT_BINARY_DIR}/generated/ipveil_key.h)

# Whether this build tree was configured before, and with a key:
# IPVEIL_TREE_KEYED once it has been, else (a tree configured before that
# entry existed) the key header's mode, 0600 only in a keyed tree; empty for a
# tree configured for the first time.
if(DEFINED CACHE{IPVEIL_TREE_KEYED})
  set(_ipveil_tree_keyed ${IPVEIL_TREE_KEYED})
elseif(EXISTS ${_ipveil_key_header})
  execute_process(COMMAND stat -c %a ${_ipveil_key_header} OUTPUT_VARIABLE _ipveil_header_mode
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(_ipveil_header_mode STREQUAL "600")
    set(_ipveil_tree_keyed ON)
  else()
    set(_ipveil_tree_keyed OFF)
  endif()
else()
  set(_ipveil_tree_keyed "")
endif()

# Refuses a keyed configure of this tree: the key given on the command line
# is dropped from the cache written on the way out, so that only the key
# file's path stays behind.
function(ipveil_refuse_key)
  unset(IPVEIL_KEY CACHE)
  string(JOIN "" _message ${ARGV})
  message(FATAL_ERROR "${_message}")
endfunction()

# A cache made before IPVEIL_KEY_FILE existed holds IPVEIL_KEY set to the
# default key; that entry is no conflict.
if(DEFINED IPVEIL_KEY AND NOT IPVEIL_KEY STREQUAL IPVEIL_DEFAULT_KEY)
  set(_ipveil_key_given ON)
endif()
if(NOT IPVEIL_KEY_FILE STREQUAL "")
  if(_ipveil_key_given)
    if(NOT _ipveil_tree_keyed)
      ipveil_refuse_key("IPVEIL_KEY_FILE and IPVEIL_KEY are both set; keep one. The key in IPVEIL_KEY has been "
                        "removed from the cache of this tree, which is open to other users.")
    endif()
    message(FATAL_ERROR "IPVEIL_KEY_FILE and IPVEIL_KEY are both set; keep one (cmake -U IPVEIL_KEY removes the "
                        "older one, and the key with it, from the cache).")
  endif()
  if(NOT EXISTS "${IPVEIL_KEY_FILE}" OR IS_DIRECTORY "${IPVEIL_KEY_FILE}")
    message(FATAL_ERROR "IPVEIL_KEY_FILE ${IPVEIL_KEY_FILE} is not a file.")
  endif()
  # CMake cannot read permission bits itself; coreutils' stat can (following
  # a symbolic link to the file that is read).
  execute_process(COMMAND stat -L -c %a "${IPVEIL_KEY_FILE}" OUTPUT_VARIABLE _ipveil_key_mode
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _ipveil_stat_status)
  if(NOT _ipveil_stat_status EQUAL 0)
    message(FATAL_ERROR "Cannot read the permissions of IPVEIL_KEY_FILE ${IPVEIL_KEY_FILE} with stat.")
  endif()
  if(NOT _ipveil_key_mode MATCHES "00$")
    message(FATAL_ERROR "IPVEIL_KEY_FILE ${IPVEIL_KEY_FILE} has mode ${_ipveil_key_mode}: its group or other users "
                        "have permissions on it, and whoever can read the key can undo the anonymization. Make it "
                        "its owner's alone (chmod 600 ${IPVEIL_KEY_FILE}) and configure again.")
  endif()
  file(READ "${IPVEIL_KEY_FILE}" _ipveil_key)
  string(REGEX REPLACE "\n$" "" _ipveil_key "${_ipveil_key}")
  set(_ipveil_key_source "the file in IPVEIL_KEY_FILE")
  # A changed key file reconfigures the build.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${IPVEIL_KEY_FILE}")
elseif(_ipveil_key_given)
  set(_ipveil_key "${IPVEIL_KEY}")
  set(_ipveil_key_source "IPVEIL_KEY")
else()
  set(_ipveil_key "${IPVEIL_DEFAULT_KEY}")
  set(_ipveil_key_source "the default key")
endif()

# The messages name the key's source, never the key.
if(NOT _ipveil_key MATCHES "^[0-9A-Fa-f]+$")
  message(FATAL_ERROR "The key in ${_ipveil_key_source} must be 64 hexadecimal digits; it holds other characters.")
endif()
string(LENGTH "${_ipveil_key}" _ipveil_key_length)
if(NOT _ipveil_key_length EQUAL 64)
  message(FATAL_ERROR "The key in ${_ipveil_key_source} must be 64 hexadecimal digits (32 bytes); "
                      "it has ${_ipveil_key_length}.")
endif()

string(TOLOWER "${_ipveil_key}" _ipveil_key_lower)
if(_ipveil_key_lower STREQUAL IPVEIL_DEFAULT_KEY)
  set(IPVEIL_KEYED OFF)
  message(STATUS "ipveil: building with the public default key; set IPVEIL_KEY_FILE for a deployment")
else()
  set(IPVEIL_KEYED ON)
  if(CMAKE_BINARY_DIR STREQUAL CMAKE_SOURCE_DIR)
    if(_ipveil_tree_keyed STREQUAL "")
      # CMake writes CMakeCache.txt after a failed configure, and CMakeFiles/
      # before this runs: both go once it has exited, so that the refusal
      # leaves the source tree as it was.
      execute_process(COMMAND sh -c [[
cmake=$PPID
(while kill -0 "$cmake" 2>/dev/null; do sleep 0.1; done; rm -rf -- "$1/CMakeCache.txt" "$1/CMakeFiles") \
    </dev/null >/dev/null 2>&1 &]] sh "${CMAKE_BINARY_DIR}")
    endif()
    ipveil_refuse_key("A build with a secret key needs a build directory of its own (cmake -B DIR), which it "
                      "closes to other users; an in-source build would spread the key through the source tree.")
  endif()
  if(_ipveil_tree_keyed STREQUAL "OFF")
    # Closing the tree now would come too late: a process of another user
    # may already stand in one of its directories, or hold one of its files
    # open, and would see the key written there.
    ipveil_refuse_key("${CMAKE_BINARY_DIR} was configured without a key, and its directories and files are open "
                      "to other users, who could read the key once it is built in. Configure the keyed build in "
                      "a fresh build directory (cmake -B NEW_DIR -DIPVEIL_KEY_FILE=...), or remove this one first. "
                      "To go on here without a key: cmake -U IPVEIL_KEY_FILE -U IPVEIL_KEY ${CMAKE_BINARY_DIR}")
  endif()
  if(_ipveil_key_source STREQUAL "IPVEIL_KEY")
    message(WARNING "IPVEIL_KEY puts the secret key into ${CMAKE_BINARY_DIR}/CMakeCache.txt (and the command line "
                    "that set it into the shell's history). Prefer -DIPVEIL_KEY_FILE=path; the build tree is "
                    "closed to other users either way.")
  endif()
  # Closed before anything that holds the key is written into it.
  file(CHMOD "${CMAKE_BINARY_DIR}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  message(STATUS "ipveil: building with a secret key; ${CMAKE_BINARY_DIR} is closed to other users (mode 0700)")
endif()

string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " IPVEIL_KEY_BYTES "${_ipveil_key}")
string(REGEX REPLACE ", $" "" IPVEIL_KEY_BYTES "${IPVEIL_KEY_BYTES}")
# The public default key too, so that a command can tell when it is in force.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " IPVEIL_DEFAULT_KEY_BYTES "${IPVEIL_DEFAULT_KEY}")
string(REGEX REPLACE ", $" "" IPVEIL_DEFAULT_KEY_BYTES "${IPVEIL_DEFAULT_KEY_BYTES}")
# Once keyed, a tree stays counted as keyed: its files may hold the key.
if(IPVEIL_KEYED OR _ipveil_tree_keyed)
  set(IPVEIL_TREE_KEYED ON CACHE INTERNAL "The build tree has been configured with a secret key")
else()
  set(IPVEIL_TREE_KEYED OFF CACHE INTERNAL "The build tree has been configured with a secret key")
endif()
if(IPVEIL_KEYED)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/ipveil_key.h.in ${_ipveil_key_header} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE)
  # configure_file leaves an unchanged file's mode as it was.
  file(CHMOD ${_ipveil_key_header} PERMISSIONS OWNER_READ OWNER_WRITE)
else()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/ipveil_key.h.in ${_ipveil_key_header} @ONLY)
endif()
unset(_ipveil_key)
unset(_ipveil_key_lower)
unset(IPVEIL_KEY_BYTES)

# Whoever can read a keyed command can copy the key out of it. Whoever can
# run it can reverse any address by chosen queries, and can preload code into
# it that reads the key, so running it is as good as holding the key. Linux
# runs a binary for a user who may execute but not read it (and refuses that
# user ptrace and /proc/PID/mem of the process), so a keyed command is
# installed rwx--x---: its group, who must be trusted with the raw traces,
# may run it but gets no copy of it; others may do nothing with it. The
# public-key build installs as usual.
if(IPVEIL_KEYED)
  set(IPVEIL_EXECUTABLE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_EXECUTE)
else()
  set(IPVEIL_EXECUTABLE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
endif()

# Marks TARGET as a command that carries the built-in key: it sees the
# generated key header, and IpveilInstall.cmake installs it with
# IPVEIL_EXECUTABLE_PERMISSIONS. Every installed executable that includes
# ipveil_key.h goes through here.
function(ipveil_keyed_command target)
  target_include_directories(${target} PRIVATE ${PROJECT_BINARY_DIR}/generated)
  set_property(GLOBAL APPEND PROPERTY IPVEIL_KEYED_COMMANDS ${target})
endfunction()
