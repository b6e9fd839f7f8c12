# SPDX-License-Identifier: MIT
# What ships for a box: `mtdmac`, which needs nothing on the box but its C
# library, and, when asked for (MTDMAC_STATIC), `mtdmac-static`, which needs
# nothing at all; both installed under sbin/ and packed with the README,
# LICENSE, the manual page and dist/ into one archive per target.
set(MTDMAC_SHIPPED mtdmac)
if(MTDMAC_MUSL)
  include(${CMAKE_CURRENT_LIST_DIR}/Musl.cmake)
  list(APPEND MTDMAC_SHIPPED mtdmac-static)
elseif(MTDMAC_STATIC)
  # A firmware's own toolchain without musl: its own static C library, which
  # many SDK sysroots do not have; hence only on request.
  add_executable(mtdmac-static src/update/main.cpp)
  target_link_libraries(mtdmac-static PRIVATE mtdmac_core mtdmac_tool_flags)
  target_link_options(mtdmac-static PRIVATE -static)
  list(APPEND MTDMAC_SHIPPED mtdmac-static)
endif()

# The tool is a handful of functions, most called once: inlining them across
# files takes a tenth off the binary. Release builds only.
include(CheckIPOSupported)
check_ipo_supported(RESULT MTDMAC_IPO LANGUAGES CXX)
if(MTDMAC_IPO)
  set_target_properties(mtdmac_core ${MTDMAC_SHIPPED}
                        PROPERTIES INTERPROCEDURAL_OPTIMIZATION_RELEASE ON
                                   INTERPROCEDURAL_OPTIMIZATION_MINSIZEREL ON)
endif()

install(TARGETS ${MTDMAC_SHIPPED} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The init script, the unit and the packages for firmware build systems, for
# whoever takes the tool from an archive. The modes are fixed here, not taken
# from the checkout, so that the archive does not depend on its umask.
install(DIRECTORY dist/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/dist
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                              WORLD_READ WORLD_EXECUTE
        REGEX "/(sysvinit/mtdmac|S[0-9][0-9]mtdmac|[^/]*\\.init)$"
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                    WORLD_EXECUTE)

# What a firmware puts on the box, `cmake --install BUILD --component firmware`:
# one binary under the name mtdmac, the manual page and the licence. The last
# two are part of every install and archive as well.
set(MTDMAC_FIRMWARE_BINARY mtdmac CACHE STRING
    "Variant the firmware component installs as sbin/mtdmac: mtdmac or mtdmac-static")
set_property(CACHE MTDMAC_FIRMWARE_BINARY PROPERTY STRINGS mtdmac mtdmac-static)
if(NOT MTDMAC_FIRMWARE_BINARY IN_LIST MTDMAC_SHIPPED)
  message(FATAL_ERROR "MTDMAC_FIRMWARE_BINARY: ${MTDMAC_FIRMWARE_BINARY} is not built here "
                      "(built: ${MTDMAC_SHIPPED})")
endif()
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT firmware)
install(FILES doc/mtdmac.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT firmware)
install(PROGRAMS $<TARGET_FILE:${MTDMAC_FIRMWARE_BINARY}> DESTINATION ${CMAKE_INSTALL_SBINDIR}
        RENAME mtdmac COMPONENT firmware EXCLUDE_FROM_ALL)
# install(PROGRAMS) is not stripped by --strip; this one is.
install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_STRIP}\"
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/mtdmac\" COMMAND_ERROR_IS_FATAL ANY)
endif()" COMPONENT firmware EXCLUDE_FROM_ALL)
# musl's copyright notice and MIT licence go wherever the binary that holds it goes.
if(MTDMAC_MUSL)
  set(component Unspecified)
  if(MTDMAC_FIRMWARE_BINARY STREQUAL "mtdmac-static")
    set(component firmware)
  endif()
  install(FILES ${MTDMAC_MUSL_DIR}/COPYRIGHT DESTINATION ${CMAKE_INSTALL_DOCDIR}
          RENAME COPYRIGHT.musl COMPONENT ${component})
endif()

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
# Two runs of cpack on the same commit give the same bytes: see the file.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/ReproducibleArchive.cmake)
set(CPACK_MTDMAC_SOURCE_DIR ${PROJECT_SOURCE_DIR})
include(CPack)
