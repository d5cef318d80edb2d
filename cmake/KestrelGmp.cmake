# GMP: Debian's libgmp-dev natively. The Windows build links a static GMP that
# scripts/build-gmp-mingw compiles from Debian's gmp source package into
# KESTREL_GMP_PREFIX (cached in the build tree, so only a fresh clone pays).
add_library(kestrel_gmp INTERFACE)
if(WIN32)
  set(KESTREL_GMP_PREFIX "${CMAKE_BINARY_DIR}/../deps/gmp-mingw" CACHE PATH "Prefix of the cross-built GMP")
  if(NOT EXISTS "${KESTREL_GMP_PREFIX}/lib/libgmp.a")
    message(FATAL_ERROR "No cross-built GMP in ${KESTREL_GMP_PREFIX}; run scripts/build-gmp-mingw")
  endif()
  target_include_directories(kestrel_gmp INTERFACE "${KESTREL_GMP_PREFIX}/include")
  target_link_libraries(kestrel_gmp INTERFACE "${KESTREL_GMP_PREFIX}/lib/libgmp.a")
else()
  find_path(GMP_INCLUDE_DIR gmp.h REQUIRED)
  find_library(GMP_LIBRARY gmp REQUIRED)
  target_include_directories(kestrel_gmp INTERFACE ${GMP_INCLUDE_DIR})
  target_link_libraries(kestrel_gmp INTERFACE ${GMP_LIBRARY})
endif()
add_library(Kestrel::gmp ALIAS kestrel_gmp)
