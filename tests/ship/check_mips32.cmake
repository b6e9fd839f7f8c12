# SPDX-License-Identifier: MIT
# cmake -DOBJDUMP=... -DBINARY=... -P check_mips32.cmake
# Fails unless the binary's code holds none of the instructions that MIPS32
# release 2 added. Its ELF header may still say release 2: the flags of gcc's
# libgcc.a and crtbeginT.o are merged in; the code is what a CPU runs.

# Release 2 additions: bit-field extract/insert, sign extension, byte swap,
# rotates, hazard barriers, interrupt enable/disable, shadow registers, high
# FPR moves and synci. (rdhwr stays allowed: Linux emulates it on release 1
# for the thread pointer.)
set(release2 "ext|ins|seb|seh|wsbh|rotr|rotrv|di|ei|rdpgpr|wrpgpr|jr\\.hb|jalr\\.hb"
             "|mfhc1|mthc1|synci")
string(JOIN "" release2 ${release2})

execute_process(COMMAND ${OBJDUMP} -d ${BINARY} OUTPUT_VARIABLE code RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -d ${BINARY} failed")
endif()
string(REGEX MATCHALL "\n *[0-9a-f]+:\t[0-9a-f]+ +\t" instructions "${code}")
string(REGEX MATCHALL "\t(${release2})[\t\n][^\n]*" found "${code}")
list(LENGTH instructions count)
if(count LESS 1000)
  message(FATAL_ERROR "${BINARY}: only ${count} instructions disassembled")
elseif(found)
  list(JOIN found "\n" found)
  message(FATAL_ERROR "${BINARY}: release 2 instructions:\n${found}")
endif()
message(STATUS "${BINARY}: ${count} instructions, none of MIPS32 release 2")
