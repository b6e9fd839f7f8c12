# SPDX-License-Identifier: MIT
# cmake -DREADELF=... -DSTRIP=... -DREADME=... -DDYNAMIC=...
#       [-DSTATIC=... -DSTATIC_MAX_BYTES=N|0] -DPOINTER_SIZE=4|8
#       -DBYTE_ORDER=LITTLE_ENDIAN|BIG_ENDIAN -DMIPS=ON|OFF -P check_shipped.cmake
# Fails unless the binaries are built for the configured target, the dynamic
# one needs the C library alone (no libstdc++, no libgcc_s, no libm; the
# dynamic loader only for the stack protector's guard) in a version no newer
# than the README states and no allocator, and the static one needs nothing
# and, stripped, fits in STATIC_MAX_BYTES (0: any size).

function(readelf out)
  execute_process(COMMAND ${READELF} ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${READELF} ${ARGN} failed")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(POINTER_SIZE EQUAL 4)
  set(class ELF32)
else()
  set(class ELF64)
endif()
if(BYTE_ORDER STREQUAL "BIG_ENDIAN")
  set(data "big endian")
else()
  set(data "little endian")
endif()

foreach(binary ${DYNAMIC} ${STATIC})
  readelf(header -h ${binary})
  if(NOT header MATCHES "Class: +${class}\n" OR NOT header MATCHES "Data: +[^\n]*${data}\n")
    message(SEND_ERROR "${binary}: not ${class} ${data}")
  endif()
  if(MIPS AND NOT header MATCHES "Machine: +MIPS")
    message(SEND_ERROR "${binary}: not a MIPS binary")
  endif()
endforeach()

readelf(dynamic -d ${DYNAMIC})
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
list(TRANSFORM needed REPLACE "Shared library: \\[(.*)\\]" "\\1")
# With -fstack-protector, glibc on MIPS keeps the guard in the dynamic loader.
list(FIND needed ld.so.1 loader)
if(loader GREATER -1)
  readelf(symbols --dyn-syms -W ${DYNAMIC})
  if(symbols MATCHES " __stack_chk_guard@GLIBC_[0-9.]+")
    list(REMOVE_ITEM needed ld.so.1)
  endif()
endif()
if(NOT needed STREQUAL "libc.so.6")
  message(SEND_ERROR "${DYNAMIC} needs ${needed}, want only libc.so.6 "
                     "(and ld.so.1 for the stack protector's guard)")
endif()

# The tool's own code allocates nothing: every function the dynamic binary
# takes from the C library is called by that code (its start-up files call no
# allocator), so none may be malloc, operator new or one of their friends.
# Objects built for link-time optimisation cannot show it: their symbol
# tables leave out the compiler's built-in functions, malloc among them.
set(allocator "malloc|calloc|realloc|reallocarray|free|aligned_alloc|posix_memalign|memalign"
              "|valloc|pvalloc|(__)?strn?dup|_Z(nw|na|dl|da)[A-Za-z0-9_]*")
string(JOIN "" allocator ${allocator})
readelf(symbols --dyn-syms -W ${DYNAMIC})
string(REGEX MATCHALL " UND (${allocator})(@[^\n]*)?\n" allocators "${symbols}")
if(allocators)
  message(SEND_ERROR "${DYNAMIC} calls allocators:\n${allocators}")
endif()

# The C library a box needs for the dynamic binary is the one the README
# promises, "glibc X.Y or later": no symbol version the binary asks for is newer.
file(READ ${README} readme)
string(REGEX MATCHALL "glibc[ \n]+[0-9]+\\.[0-9]+[ \n]+or[ \n]+later" promises "${readme}")
list(TRANSFORM promises REPLACE "glibc[ \n]+([0-9.]+)[ \n].*" "\\1")
list(REMOVE_DUPLICATES promises)
list(LENGTH promises count)
if(NOT count EQUAL 1)
  message(SEND_ERROR "${README} must state one glibc version (\"glibc X.Y or later\"), "
                     "states: ${promises}")
endif()
readelf(versions -V ${DYNAMIC})
string(REGEX MATCHALL "Name: GLIBC_[0-9.]+" wanted "${versions}")
list(TRANSFORM wanted REPLACE "Name: GLIBC_" "")
foreach(version ${wanted})
  if(version VERSION_GREATER promises)
    message(SEND_ERROR "${DYNAMIC} needs GLIBC_${version}, the README promises glibc ${promises}")
  endif()
endforeach()

if(NOT STATIC)
  return()
endif()
readelf(segments -l ${STATIC})
readelf(dynamic -d ${STATIC})
if(segments MATCHES "INTERP" OR dynamic MATCHES "NEEDED")
  message(SEND_ERROR "${STATIC} is not fully static")
endif()
if(STATIC_MAX_BYTES)
  set(stripped ${STATIC}.stripped)
  execute_process(COMMAND ${STRIP} -o ${stripped} ${STATIC} COMMAND_ERROR_IS_FATAL ANY)
  file(SIZE ${stripped} bytes)
  file(REMOVE ${stripped})
  if(bytes GREATER STATIC_MAX_BYTES)
    message(SEND_ERROR "${STATIC}: ${bytes} bytes stripped, more than ${STATIC_MAX_BYTES}")
  endif()
endif()
