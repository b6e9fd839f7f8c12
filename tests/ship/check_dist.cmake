# SPDX-License-Identifier: MIT
# cmake -DDIST=dist-folder -DLICENSE=LICENSE -DVERSION=x.y.z -DSHELLCHECK=shellcheck
#       -P check_dist.cmake
# What can be checked here of the packages in dist/, which are not built under
# their build systems here: every shell script passes shellcheck, every package
# names the project's version, the packages that pin a commit pin the same
# one, and the licence checksums the packages declare are those of LICENSE.
if(NOT SHELLCHECK)
  message(FATAL_ERROR "shellcheck not found (Debian: shellcheck; scripts/test installs it)")
endif()

file(GLOB_RECURSE files LIST_DIRECTORIES false ${DIST}/*)
set(scripts "")
foreach(file ${files})
  file(STRINGS ${file} first LIMIT_COUNT 1)
  if(first MATCHES "^#!/bin/(ba)?sh( |$)")
    list(APPEND scripts ${file})
  endif()
endforeach()
list(LENGTH scripts count)
if(count LESS 3)
  message(FATAL_ERROR "only ${count} shell scripts found in ${DIST}: ${scripts}")
endif()
execute_process(COMMAND ${SHELLCHECK} ${scripts} OUTPUT_VARIABLE out ERROR_VARIABLE out
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(SEND_ERROR "shellcheck:\n${out}")
endif()

# field(FILE REGEX NAME): the first group of REGEX in FILE, or an error.
function(field file regex name)
  file(READ ${DIST}/${file} text)
  if(NOT text MATCHES "${regex}")
    message(SEND_ERROR "${file}: no ${name}")
  endif()
  set(${name} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

field(openembedded/mtdmac_git.bb "\nPV = \"([^\"+]*)\\+git\"\n" oe_version)
field(buildroot/package/mtdmac/mtdmac.mk "\nMTDMAC_VERSION = v([^\n]*)\n" buildroot_version)
field(openwrt/mtdmac/Makefile "\nPKG_VERSION:=([^\n]*)\n" openwrt_version)
foreach(system oe buildroot openwrt)
  if(NOT ${system}_version STREQUAL VERSION)
    message(SEND_ERROR "the ${system} package names version '${${system}_version}', "
                       "the project is ${VERSION}")
  endif()
endforeach()

field(openembedded/mtdmac_git.bb "\nSRCREV = \"([0-9a-f]+)\"\n" oe_commit)
field(openwrt/mtdmac/Makefile "\nPKG_SOURCE_VERSION:=([0-9a-f]+)\n" openwrt_commit)
string(LENGTH "${oe_commit}" length)
if(NOT length EQUAL 40 OR NOT oe_commit STREQUAL openwrt_commit)
  message(SEND_ERROR "the OpenEmbedded recipe pins '${oe_commit}', the OpenWrt package "
                     "'${openwrt_commit}': want one full commit hash")
endif()

file(MD5 ${LICENSE} md5)
file(SHA256 ${LICENSE} sha256)
field(openembedded/mtdmac_git.bb "file://LICENSE;md5=([0-9a-f]+)\"" oe_md5)
field(buildroot/package/mtdmac/mtdmac.hash "\nsha256  ([0-9a-f]+)  LICENSE\n" buildroot_sha256)
if(NOT oe_md5 STREQUAL md5)
  message(SEND_ERROR "LIC_FILES_CHKSUM says md5=${oe_md5}, LICENSE has ${md5}")
endif()
if(NOT buildroot_sha256 STREQUAL sha256)
  message(SEND_ERROR "mtdmac.hash says ${buildroot_sha256} for LICENSE, it has ${sha256}")
endif()
message(STATUS "checked ${count} shell scripts and the packages of version ${VERSION}")
