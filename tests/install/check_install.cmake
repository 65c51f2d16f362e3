# cmake -P script: install BUILD_DIR into SCRATCH/prefix, check the layout,
# then configure, build and run the consumer project against it.
file(REMOVE_RECURSE ${SCRATCH})
set(prefix ${SCRATCH}/prefix)

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGV}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(path bin/ipveil bin/ipveil-reveal bin/ipveil-pcap bin/ipveil-log bin/ipveil-parallel bin/pcap-to-trace
             share/man/man1/ipveil.1 share/man/man1/ipveil-reveal.1 share/man/man1/ipveil-parallel.1
             share/man/man1/pcap-to-trace.1 share/man/man1/ipveil-log.1
             include/ipveil/aes_cipher.h include/ipveil/prefix_anonymizer.h
             include/ipveil/ipv6_address.h lib/cmake/ipveil/ipveilConfig.cmake)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "missing from the installation: ${path}")
  endif()
endforeach()

# The scripts run as installed commands, and the installed ipveil-parallel
# runs the ipveil beside it, with neither IPVEIL set nor an ipveil on PATH.
foreach(command ipveil-parallel pcap-to-trace)
  run(${prefix}/bin/${command} --help)
  if(NOT last_output MATCHES "^usage: ${command}")
    message(FATAL_ERROR "${command} --help printed: ${last_output}")
  endif()
endforeach()
# Each installed command but the two of text traces names the project's
# version; the scripts, away from the source tree, from the version written
# into them.
foreach(command ipveil-pcap ipveil-log ipveil-parallel pcap-to-trace)
  run(${prefix}/bin/${command} --version)
  if(NOT last_output STREQUAL "${command} ${VERSION}\n")
    message(FATAL_ERROR "${command} --version printed: ${last_output}")
  endif()
endforeach()
set(trace ${CMAKE_CURRENT_LIST_DIR}/../../examples/trace.txt)
run(${prefix}/bin/ipveil ${trace})
set(one_run "${last_output}")
run(${CMAKE_COMMAND} -E env --unset=IPVEIL PATH=/usr/bin:/bin ${prefix}/bin/ipveil-parallel -j 2 ${trace})
if(NOT last_output STREQUAL one_run OR one_run STREQUAL "")
  message(FATAL_ERROR "the installed ipveil-parallel does not give the installed ipveil's output")
endif()

# The README's snippet that builds an anonymizer from a key file (its first
# C++ block), compiled into the consumer and run on a file holding the
# build's key: it must map the trace's first address as the installed
# ipveil did.
file(READ ${CMAKE_CURRENT_LIST_DIR}/../../README.md readme)
string(REGEX MATCH "```cpp\n([^`]*)```" snippet "${readme}")
set(snippet "${CMAKE_MATCH_1}")
if(NOT snippet MATCHES "anonymizerFromKeyFile")
  message(FATAL_ERROR "the README shows no anonymizerFromKeyFile snippet")
endif()
file(WRITE ${SCRATCH}/readme_snippet.cpp "${snippet}")
file(WRITE ${SCRATCH}/key "${KEY_DIGITS}\n")
if(NOT one_run MATCHES "^[^\t]*\t[^\t]*\t([0-9.]+)\n")
  message(FATAL_ERROR "the installed ipveil's first line is not a record: ${one_run}")
endif()
set(first_image ${CMAKE_MATCH_1})
file(STRINGS ${trace} first_record LIMIT_COUNT 1)
string(REGEX MATCH "[0-9.]+$" first_address "${first_record}")

run(${CMAKE_COMMAND} -S ${CONSUMER} -B ${SCRATCH}/consumer -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}"
    -DREADME_SNIPPET=${SCRATCH}/readme_snippet.cpp)
run(${CMAKE_COMMAND} --build ${SCRATCH}/consumer)
if(KEY_DIGITS)
  run(${SCRATCH}/consumer/consumer ${SCRATCH}/key ${first_address} ${first_image})
else()
  run(${SCRATCH}/consumer/consumer)
endif()
if(NOT last_output MATCHES "^ok")
  message(FATAL_ERROR "consumer printed: ${last_output}")
endif()
