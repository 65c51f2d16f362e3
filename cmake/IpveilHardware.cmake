# ipveil_add_x86_paths(TARGET NI_SOURCE VAES_SOURCE): adds a target's AES-NI
# and VAES sources on x86-64 only, each compiled with its own instruction-set
# flags rather than project-wide ones, so the binary still runs on any x86-64
# CPU and chooses its path at run time. Defines IPVEIL_X86_AES to 1 or 0.
function(ipveil_add_x86_paths target ni_source vaes_source)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    target_sources(${target} PRIVATE ${ni_source} ${vaes_source})
    set_source_files_properties(${ni_source} PROPERTIES COMPILE_OPTIONS "-maes;-msse4.1")
    set_source_files_properties(${vaes_source} PROPERTIES COMPILE_OPTIONS "-maes;-mvaes;-mavx2")
    target_compile_definitions(${target} PRIVATE IPVEIL_X86_AES=1)
  else()
    target_compile_definitions(${target} PRIVATE IPVEIL_X86_AES=0)
  endif()
endfunction()
