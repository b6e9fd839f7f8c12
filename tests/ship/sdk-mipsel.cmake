# SPDX-License-Identifier: MIT
# A firmware SDK's toolchain file, as scripts/test-sdk uses it: a cross
# compiler, the SDK's sysroot (MTDMAC_SDK_SYSROOT in the environment; the
# script lays one out from Debian's mipsel headers and shared libraries), every
# library and header looked up inside it, and no emulator: nothing built for
# the box runs here.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

if(NOT DEFINED ENV{MTDMAC_SDK_SYSROOT})
  message(FATAL_ERROR "set MTDMAC_SDK_SYSROOT to the SDK's sysroot")
endif()
set(CMAKE_SYSROOT $ENV{MTDMAC_SDK_SYSROOT})

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
