# SPDX-License-Identifier: MIT
# Read by cpack before it packs. CPack stamps every entry of an archive with
# SOURCE_DATE_EPOCH when that is set (and writes no time into the gzip
# header); unless the caller set it, it is the last commit's time, so that two
# runs on the same commit give byte-identical archives.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_MTDMAC_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE _mtdmac_epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _mtdmac_git ERROR_QUIET)
  if(_mtdmac_git EQUAL 0 AND _mtdmac_epoch MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${_mtdmac_epoch})
  else()
    message(WARNING "no git history in ${CPACK_MTDMAC_SOURCE_DIR} and no SOURCE_DATE_EPOCH: "
                    "the archive carries this run's time stamps")
  endif()
endif()
