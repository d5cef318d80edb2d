# Settings every target of the project shares: language level, warnings, the
# include root (headers are included as "crypto/des.h", "engine/...").

# -Wcast-align speaks only on targets that need aligned access (the ARM
# build), where a cast to a stricter-aligned type is a fault on older cores.
set(KESTREL_WARNINGS -Wall -Wextra -Wpedantic -Wcast-align)

if(KESTREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KESTREL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(KESTREL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(WIN32)
  # Static runtime: Wine (and a device) must not need the MinGW runtime DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

function(kestrel_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE ${KESTREL_WARNINGS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# kestrel_add_fuzzer(name SOURCES ... LIBS ...): a libFuzzer target (clang, in
# the KESTREL_FUZZ build). The libraries it exercises are built with coverage
# instrumentation through -fsanitize=fuzzer-no-link set in that build.
function(kestrel_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  kestrel_defaults(${name})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
endfunction()

# Adds every sub-folder of the current source folder that has a CMakeLists.txt:
# tools, benchmarks and fuzz targets are self-contained pieces, one a folder.
function(kestrel_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
