# SPDX-License-Identifier: MIT
SUMMARY = "Keeps a set-top box's MAC parameter block in flash in line with its serial id"
DESCRIPTION = "mtdmac derives the box's MAC address from /proc/stb/info/serialid and, \
when the parameter block at the start of /dev/mtd3 holds another one, rewrites \
the block and flashes the partition. It runs once at boot, before the network."
SECTION = "base"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=2c4a6f3ff507fb4dbfe670e67d1550e3"

# Point these at your copy of the repository (a bbappend will do).
SRC_URI = "git://git.example.org/mtdmac.git;protocol=https;branch=main"
SRCREV = "${AUTOREV}"
PV = "0.2.0+git${SRCPV}"
S = "${WORKDIR}/git"

inherit cmake update-rc.d systemd

# The tests run target binaries under an emulator, which a firmware build has
# not; the firmware's own C library serves the dynamic binary.
EXTRA_OECMAKE = "-DMTDMAC_BUILD_TESTS=OFF"

# Exactly what the box runs: the tool, its manual page and licence. The init
# script and the unit go in both; the classes keep the one the distro uses.
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

# flash_eraseall; dd comes with busybox or coreutils.
RDEPENDS:${PN} = "mtd-utils"
