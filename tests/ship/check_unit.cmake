# SPDX-License-Identifier: MIT
# cmake -DUNIT=mtdmac.service -DTOOL=... -DROOT=scratch-folder -P check_unit.cmake
# systemd-analyze verify on the unit installed in a root of its own, beside
# the binary its ExecStart names: any message fails, not only an error status
# (an unknown key or value is only a warning to systemd).
file(REMOVE_RECURSE ${ROOT})
file(INSTALL ${UNIT} DESTINATION ${ROOT}/usr/lib/systemd/system MESSAGE_NEVER)
file(INSTALL ${TOOL} DESTINATION ${ROOT}/usr/sbin USE_SOURCE_PERMISSIONS MESSAGE_NEVER)
get_filename_component(name ${UNIT} NAME)
execute_process(COMMAND systemd-analyze verify --man=no --root=${ROOT}
                        ${ROOT}/usr/lib/systemd/system/${name}
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "systemd-analyze verify ${name} (status ${status}):\n${out}")
endif()
