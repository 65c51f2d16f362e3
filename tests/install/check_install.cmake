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
foreach(path bin/ipveil bin/ipveil-reveal share/man/man1/ipveil.1 share/man/man1/ipveil-reveal.1
             include/ipveil/aes_cipher.h include/ipveil/prefix_anonymizer.h
             include/ipveil/ipv6_address.h lib/cmake/ipveil/ipveilConfig.cmake)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "missing from the installation: ${path}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${CONSUMER} -B ${SCRATCH}/consumer -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}")
run(${CMAKE_COMMAND} --build ${SCRATCH}/consumer)
run(${SCRATCH}/consumer/consumer)
if(NOT last_output MATCHES "^ok")
  message(FATAL_ERROR "consumer printed: ${last_output}")
endif()
