# zlib for packet compression: Debian's zlib1g-dev natively, its
# libz-mingw-w64-dev in the Windows build (the static archive: the programs
# must run without the MinGW DLLs). A cross build for another target points
# KESTREL_ZLIB_PREFIX at a zlib built for it, as it does for GMP.
add_library(kestrel_zlib INTERFACE)
set(KESTREL_ZLIB_PREFIX "" CACHE PATH "Prefix of a zlib built for the target (empty: the toolchain's own)")
if(KESTREL_ZLIB_PREFIX)
  set(zlib_hints HINTS "${KESTREL_ZLIB_PREFIX}/include" "${KESTREL_ZLIB_PREFIX}/lib" NO_DEFAULT_PATH)
endif()
find_path(ZLIB_HEADER_DIR zlib.h ${zlib_hints} REQUIRED)
if(WIN32)
  find_library(ZLIB_ARCHIVE NAMES libz.a ${zlib_hints} REQUIRED)
else()
  find_library(ZLIB_ARCHIVE NAMES z ${zlib_hints} REQUIRED)
endif()
target_include_directories(kestrel_zlib INTERFACE ${ZLIB_HEADER_DIR})
target_link_libraries(kestrel_zlib INTERFACE ${ZLIB_ARCHIVE})
add_library(Kestrel::zlib ALIAS kestrel_zlib)
