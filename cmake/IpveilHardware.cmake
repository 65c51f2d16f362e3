# ipveil_add_x86_paths(TARGET [NI SOURCE...] [AVX2 SOURCE...]
#                      [AVX512 SOURCE...] [VAES SOURCE...] [VAES512 SOURCE...]): adds a target's x86 sources on
# x86-64 only, each group compiled with its own instruction-set flags rather
# than project-wide ones, so the binary still runs on any x86-64 CPU and
# chooses its path at run time, from the one CPU probe (ipveil_cpu, built
# without such flags). Defines IPVEIL_X86_AES to 1 or 0.
#
# A file with flags must not define inline functions that other files also
# define (the linker keeps one copy, perhaps the one using instructions the
# CPU lacks): the path files use intrinsics and their own local helpers only.
function(ipveil_add_x86_paths target)
  cmake_parse_arguments(ARG "" "" "NI;AVX2;AVX512;VAES;VAES512" ${ARGN})
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    target_sources(${target} PRIVATE ${ARG_NI} ${ARG_AVX2} ${ARG_AVX512} ${ARG_VAES} ${ARG_VAES512})
    if(ARG_NI)
      set_source_files_properties(${ARG_NI} PROPERTIES COMPILE_OPTIONS "-maes;-mssse3;-msse4.1")
    endif()
    if(ARG_AVX2)
      set_source_files_properties(${ARG_AVX2} PROPERTIES COMPILE_OPTIONS "-mavx2")
    endif()
    if(ARG_AVX512)
      set_source_files_properties(${ARG_AVX512} PROPERTIES COMPILE_OPTIONS "-mavx2;-mavx512f;-mavx512vl;-mavx512cd")
    endif()
    if(ARG_VAES)
      set_source_files_properties(${ARG_VAES} PROPERTIES COMPILE_OPTIONS "-maes;-mvaes;-mavx2")
    endif()
    if(ARG_VAES512)
      set_source_files_properties(${ARG_VAES512} PROPERTIES COMPILE_OPTIONS
                                  "-maes;-mvaes;-mavx2;-mavx512f;-mavx512bw;-mavx512vl")
    endif()
    target_compile_definitions(${target} PRIVATE IPVEIL_X86_AES=1)
  else()
    target_compile_definitions(${target} PRIVATE IPVEIL_X86_AES=0)
  endif()
endfunction()

# ipveil_add_x86_scan_paths(TARGET [AVX512 SOURCE...]): the same for the
# trace reader's index path, which needs AVX-512 VBMI and VBMI2 rather than AES.
# Defines IPVEIL_X86_SCAN to 1 or 0.
function(ipveil_add_x86_scan_paths target)
  cmake_parse_arguments(ARG "" "" "AVX512" ${ARGN})
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    target_sources(${target} PRIVATE ${ARG_AVX512})
    if(ARG_AVX512)
      set_source_files_properties(${ARG_AVX512} PROPERTIES COMPILE_OPTIONS
                                  "-mpopcnt;-mavx512f;-mavx512bw;-mavx512vl;-mavx512vbmi;-mavx512vbmi2")
    endif()
    target_compile_definitions(${target} PRIVATE IPVEIL_X86_SCAN=1)
  else()
    target_compile_definitions(${target} PRIVATE IPVEIL_X86_SCAN=0)
  endif()
endfunction()
