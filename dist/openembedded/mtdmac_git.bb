# SPDX-License-Identifier: MIT
SUMMARY = "Keeps a set-top box's MAC parameter block in flash in line with its serial id"
DESCRIPTION = "mtdmac derives the box's MAC address from /proc/stb/info/serialid and, \
when the parameter block at the start of /dev/mtd3 holds another one, rewrites \
the block and flashes the partition. It runs once at boot, before the network."
SECTION = "base"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=2c4a6f3ff507fb4dbfe670e67d1550e3"

# A release commit of the tool. Point SRC_URI at your copy of the repository
# (a bbappend will do); PV is the version that commit releases.
SRC_URI = "git://git.example.org/mtdmac.git;protocol=https;branch=main"
SRCREV = "eadf7ec38c76fbab499c870f4c67bd51b29e27b3"
PV = "0.3.0+git"
S = "${WORKDIR}/git"

inherit cmake update-rc.d systemd

# The tests run what is built for the box, which needs an emulator.
EXTRA_OECMAKE = "-DMTDMAC_BUILD_TESTS=OFF"

# What the box runs: the component "firmware" (the tool, its manual page and
# licence, which go to ${PN}-doc), and both the init script and the unit: the
# classes keep the one the distribution uses.
do_install() {
    DESTDIR='${D}' cmake --install '${B}' --component firmware
    install -d ${D}${sysconfdir}/init.d ${D}${systemd_system_unitdir}
    install -m 0755 ${S}/dist/sysvinit/mtdmac ${D}${sysconfdir}/init.d/mtdmac
    install -m 0644 ${S}/dist/systemd/mtdmac.service ${D}${systemd_system_unitdir}/mtdmac.service
}

# In rcS, once /var/log exists and before any network interface comes up.
INITSCRIPT_NAME = "mtdmac"
INITSCRIPT_PARAMS = "start 38 S ."
SYSTEMD_SERVICE:${PN} = "mtdmac.service"

# The erase command. mtd-utils provides flash_eraseall as a wrapper around
# flash_erase (it prints a deprecation line first). An image whose BusyBox
# has the flash_eraseall applet (CONFIG_FLASH_ERASEALL=y in a busybox config
# fragment; the applet is off by default) sets
# VIRTUAL-RUNTIME_flash_eraseall = "busybox" and needs no mtd-utils. dd comes
# with BusyBox or coreutils.
VIRTUAL-RUNTIME_flash_eraseall ?= "mtd-utils"
RDEPENDS:${PN} = "${VIRTUAL-RUNTIME_flash_eraseall}"
