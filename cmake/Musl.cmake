# SPDX-License-Identifier: MIT
# mtdmac-static against musl: the tool and the C library built for MIPS32
# release 1, so that one binary runs on any 32-bit MIPS box whatever its C
# library. Debian's cross g++ compiles the tool without its glibc: only
# libstdc++'s header folders (the tool uses none of its library code) and
# musl's headers, then links musl's start files and libc.a with gcc's own
# crtbeginT.o, crtend.o and libgcc.a (musl's printf needs __udivdi3).
# scripts/build-musl fetches and builds musl once into a cache outside the
# tree; the build calls it, and it returns at once when the cache is filled.

set(musl_host ${CMAKE_CXX_LIBRARY_ARCHITECTURE})
if(NOT musl_host MATCHES "^mips(el)?-linux-gnu$")
  message(FATAL_ERROR "MTDMAC_MUSL needs Debian's g++-mipsel-linux-gnu or g++-mips-linux-gnu "
                      "(this compiler's target: '${musl_host}')")
endif()
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-musl --where ${musl_host}
                OUTPUT_VARIABLE MTDMAC_MUSL_DIR OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(musl_cache ${MTDMAC_MUSL_DIR} DIRECTORY)
add_custom_target(musl
  COMMAND ${CMAKE_COMMAND} -E env MTDMAC_MUSL_CACHE=${musl_cache}
          ${PROJECT_SOURCE_DIR}/scripts/build-musl ${musl_host}
  COMMENT "musl for ${musl_host}, MIPS32 release 1 (${MTDMAC_MUSL_DIR})" VERBATIM)

function(gcc_file out name)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
                  OUTPUT_VARIABLE file OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(${out} ${file} PARENT_SCOPE)
endfunction()
gcc_file(crtbegin crtbeginT.o)
gcc_file(crtend crtend.o)
gcc_file(libgcc libgcc.a)

set(cxx_headers ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES})
list(FILTER cxx_headers INCLUDE REGEX "/c\\+\\+/[0-9]+(/${musl_host})?$")
list(TRANSFORM cxx_headers PREPEND "SHELL:-isystem ")

# The flash driver's requests come from the kernel's own headers, which musl
# does not carry: only their folders go next to musl's, not the glibc beside
# them.
find_path(kernel_headers mtd/mtd-user.h PATHS ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES}
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(musl_kernel_headers ${CMAKE_CURRENT_BINARY_DIR}/musl-kernel-headers)
foreach(folder mtd linux asm asm-generic)
  file(MAKE_DIRECTORY ${musl_kernel_headers})
  file(CREATE_LINK ${kernel_headers}/${folder} ${musl_kernel_headers}/${folder} SYMBOLIC)
endforeach()

add_executable(mtdmac-static ${MTDMAC_SOURCES} src/update/main.cpp)
add_dependencies(mtdmac-static musl)
target_include_directories(mtdmac-static PRIVATE src)
# libstdc++'s os_defines.h is configured for glibc and asks for this macro.
target_compile_options(mtdmac-static PRIVATE -march=mips32 -nostdinc ${cxx_headers}
                       "SHELL:-isystem ${MTDMAC_MUSL_DIR}/include"
                       "SHELL:-isystem ${musl_kernel_headers}" "-D__GLIBC_PREREQ(maj,min)=0")
# -march again: with link-time optimisation the code is generated at the link.
target_link_options(mtdmac-static PRIVATE -march=mips32 -static -nostdlib
                    ${MTDMAC_MUSL_DIR}/lib/crt1.o ${MTDMAC_MUSL_DIR}/lib/crti.o ${crtbegin})
target_link_libraries(mtdmac-static PRIVATE mtdmac_tool_flags ${MTDMAC_MUSL_DIR}/lib/libc.a
                      ${libgcc} ${crtend} ${MTDMAC_MUSL_DIR}/lib/crtn.o)
