# cmake -DREADELF=... -DOBJDUMP=... -DOBJECTS=a.o|b.o|... -P check_mips32.cmake
# Fails unless every object is marked MIPS32 release 1 and its code holds none
# of the instructions that release 2 added.

string(REPLACE "|" ";" objects "${OBJECTS}")
if(NOT objects)
  message(FATAL_ERROR "no objects to check")
endif()

# Release 2 additions an -Os build could pick: bit-field extract/insert, sign
# extension, byte swap, rotates, hazard barriers, high FPR moves and synci.
# (rdhwr stays allowed: Linux emulates it on release 1 for thread pointers.)
set(release2 "ext|ins|seb|seh|wsbh|rotr|rotrv|di|ei|rdpgpr|wrpgpr|jr\\.hb|jalr\\.hb"
             "|mfhc1|mthc1|synci")
string(JOIN "" release2 ${release2})

set(failed OFF)
foreach(object ${objects})
  execute_process(COMMAND ${READELF} -h ${object} OUTPUT_VARIABLE header RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT header MATCHES "Flags:[^\n]*, mips32\n")
    string(REGEX MATCH "Flags:[^\n]*" flags "${header}")
    message(SEND_ERROR "${object}: not marked MIPS32 release 1 (${flags})")
    set(failed ON)
  endif()
  execute_process(COMMAND ${OBJDUMP} -d ${object} OUTPUT_VARIABLE code RESULT_VARIABLE rc)
  string(REGEX MATCHALL "\t(${release2})[\t\n][^\n]*" found "${code}")
  if(NOT rc EQUAL 0 OR found)
    message(SEND_ERROR "${object}: release 2 instructions: ${found}")
    set(failed ON)
  endif()
endforeach()
if(NOT failed)
  list(LENGTH objects count)
  message(STATUS "${count} objects are MIPS32 release 1")
endif()
