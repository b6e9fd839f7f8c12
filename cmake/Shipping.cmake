# What ships for a box: `mtdmac`, which needs nothing on the box but the C
# library, and `mtdmac-static` for boxes whose C library is unknown; both
# installed under sbin/ and packed with the README into one archive per target.

set(MTDMAC_MIPS OFF)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^mips")
  set(MTDMAC_MIPS ON)
endif()

# Nothing is exported from the executable, so hidden symbols keep the
# dynamic symbol table down to the C library's functions (on MIPS every global
# symbol would otherwise land in it, for the GOT).
set(MTDMAC_SHIPPED_FLAGS -fvisibility=hidden)
if(MTDMAC_MIPS)
  # Position-dependent code with PLT calls: PIC on MIPS loads every address
  # through $gp and the GOT. Whatever links the tool's code is then no PIE.
  list(APPEND MTDMAC_SHIPPED_FLAGS -fno-pie -mplt)
  target_link_options(mtdmac_core INTERFACE -no-pie)
endif()
target_compile_options(mtdmac_core PRIVATE ${MTDMAC_SHIPPED_FLAGS})
target_compile_options(mtdmac PRIVATE ${MTDMAC_SHIPPED_FLAGS})

# The tool is a handful of functions, most called once: inlining them across
# files takes a tenth off the binary. Release builds only.
include(CheckIPOSupported)
check_ipo_supported(RESULT MTDMAC_IPO LANGUAGES CXX)
set(MTDMAC_IPO_TARGETS mtdmac_core mtdmac)

# The sanitizers have no static runtime.
if(NOT MTDMAC_SANITIZE)
  add_executable(mtdmac-static src/update/main.cpp)
  target_compile_options(mtdmac-static PRIVATE ${MTDMAC_TOOL_FLAGS} ${MTDMAC_SHIPPED_FLAGS})
  target_link_libraries(mtdmac-static PRIVATE mtdmac_core)
  target_link_options(mtdmac-static PRIVATE -static -Wl,--gc-sections)
  install(TARGETS mtdmac-static RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  list(APPEND MTDMAC_IPO_TARGETS mtdmac-static)
endif()

if(MTDMAC_IPO)
  set_target_properties(${MTDMAC_IPO_TARGETS} PROPERTIES INTERPROCEDURAL_OPTIMIZATION_RELEASE ON
                                                         INTERPROCEDURAL_OPTIMIZATION_MINSIZEREL ON)
endif()

# Older box CPUs are MIPS32 release 1: the tool's own code must build without
# release-2 instructions. The C library of the Debian sysroots is release 2, so
# the objects linked with it make no release-1 binary; mtdmac-mips32 serves
# only to run that code on the simulated box.
if(MTDMAC_MIPS)
  get_target_property(_mtdmac_core_sources mtdmac_core SOURCES)
  add_library(mtdmac_core_mips32 OBJECT ${_mtdmac_core_sources} src/update/main.cpp)
  target_include_directories(mtdmac_core_mips32 PRIVATE src)
  target_compile_options(mtdmac_core_mips32 PRIVATE ${MTDMAC_TOOL_FLAGS} ${MTDMAC_SHIPPED_FLAGS}
                                                    -march=mips32)
  add_executable(mtdmac-mips32 $<TARGET_OBJECTS:mtdmac_core_mips32>)
  target_link_options(mtdmac-mips32 PRIVATE -no-pie -Wl,--gc-sections -Wl,--as-needed)
endif()

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
include(CPack)

# The shipped binaries are checked as a box would see them: their ELF class,
# byte order and machine, and the libraries they need.
if(MTDMAC_BUILD_TESTS)
  if(NOT MTDMAC_SANITIZE)
    add_test(NAME shipped_binaries
             COMMAND ${CMAKE_COMMAND} -DREADELF=${CMAKE_READELF}
                     -DDYNAMIC=$<TARGET_FILE:mtdmac> -DSTATIC=$<TARGET_FILE:mtdmac-static>
                     -DPOINTER_SIZE=${CMAKE_SIZEOF_VOID_P} -DBYTE_ORDER=${CMAKE_CXX_BYTE_ORDER}
                     -DMIPS=${MTDMAC_MIPS} -P ${CMAKE_CURRENT_LIST_DIR}/CheckShipped.cmake)
    set_tests_properties(shipped_binaries PROPERTIES LABELS ship)
  endif()
  # The static variant on the simulated box as well, through its image checks
  # and rewrites: its C library is the one linked in, not the sysroot's.
  find_package(Python3 3.10 QUIET COMPONENTS Interpreter)
  if(TARGET mtdmac-static AND Python3_Interpreter_FOUND
     AND EXISTS ${PROJECT_SOURCE_DIR}/tests/e2e/e2e_test.py)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " _mtdmac_emulator)
    add_test(NAME e2e.static.ImageCheck
             COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/e2e/e2e_test.py
                     --binary $<TARGET_FILE:mtdmac-static> "--emulator=${_mtdmac_emulator}"
                     ImageCheckTest)
    set_tests_properties(e2e.static.ImageCheck PROPERTIES LABELS e2e TIMEOUT 300)
    if(MTDMAC_MIPS)
      add_test(NAME e2e.mips32.ImageCheck
               COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/e2e/e2e_test.py
                       --binary $<TARGET_FILE:mtdmac-mips32> "--emulator=${_mtdmac_emulator}"
                       ImageCheckTest)
      set_tests_properties(e2e.mips32.ImageCheck PROPERTIES LABELS e2e TIMEOUT 300)
    endif()
  endif()
  if(MTDMAC_MIPS)
    add_test(NAME mips32r1_objects
             COMMAND ${CMAKE_COMMAND} -DREADELF=${CMAKE_READELF} -DOBJDUMP=${CMAKE_OBJDUMP}
                     "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:mtdmac_core_mips32>,|>"
                     -P ${CMAKE_CURRENT_LIST_DIR}/CheckMips32.cmake)
    set_tests_properties(mips32r1_objects PROPERTIES LABELS ship)
  endif()
endif()
