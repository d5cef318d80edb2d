# Cross-compiling the portable core for 32-bit ARM (Debian's armel: ARMv5,
# soft float, 32-bit long and pointers, unsigned char). Only crypto/, engine/,
# terminal/ and their unit tests are built; they run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

# GMP and zlib come unpacked from Debian's armel packages into
# KESTREL_ARM_PREFIX (scripts/fetch-armel-deps), cached next to the build tree.
if(NOT KESTREL_ARM_PREFIX)
  set(KESTREL_ARM_PREFIX "${CMAKE_BINARY_DIR}/../deps/armel")
endif()
set(KESTREL_ARM_PREFIX "${KESTREL_ARM_PREFIX}" CACHE PATH "Root of the unpacked armel libraries")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTREL_ARM_PREFIX)

set(CMAKE_FIND_ROOT_PATH ${KESTREL_ARM_PREFIX} /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The unpacked libraries are static archives only; the C++ runtime is linked
# statically too, so that a test runs under qemu-arm with nothing but the C
# library's root.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")

find_program(KESTREL_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(NOT KESTREL_QEMU_ARM)
  message(FATAL_ERROR "qemu-arm not found (Debian package qemu-user)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTREL_QEMU_ARM} -L /usr/arm-linux-gnueabi)
