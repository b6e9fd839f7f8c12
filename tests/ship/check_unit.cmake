# SPDX-License-Identifier: MIT
# cmake -DUNIT=mtdmac.service -DBUILD=build-folder -DCONFIG=config -DROOT=scratch-folder
#       -P check_unit.cmake
# systemd-analyze verify on the unit installed in a root of its own beside
# what a firmware installs there, `DESTDIR=ROOT cmake --install BUILD
# --component firmware` as the README says: the unit runs /usr/sbin/mtdmac,
# which is where that puts the tool when the build's prefix is /usr, as in
# the presets. Any message fails, not only an error status (an unknown key or
# value is only a warning to systemd).
if(NOT IS_ABSOLUTE "${ROOT}" OR ROOT STREQUAL "/")
  message(FATAL_ERROR "ROOT must be a scratch folder, not '${ROOT}'")
endif()
file(REMOVE_RECURSE ${ROOT})
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${ROOT} ${CMAKE_COMMAND} --install ${BUILD}
                        --config ${CONFIG} --component firmware
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
if(NOT EXISTS ${ROOT}/usr/sbin/mtdmac)
  file(GLOB_RECURSE installed RELATIVE ${ROOT} ${ROOT}/*)
  list(JOIN installed "\n  " installed)
  message(FATAL_ERROR "the component firmware installed no usr/sbin/mtdmac, which the unit and "
                      "the init scripts run (is the build's CMAKE_INSTALL_PREFIX /usr, as in the "
                      "presets?); installed:\n  ${installed}")
endif()
file(INSTALL ${UNIT} DESTINATION ${ROOT}/usr/lib/systemd/system MESSAGE_NEVER)
get_filename_component(name ${UNIT} NAME)
execute_process(COMMAND systemd-analyze verify --man=no --root=${ROOT}
                        ${ROOT}/usr/lib/systemd/system/${name}
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "systemd-analyze verify ${name} (status ${status}):\n${out}")
endif()
