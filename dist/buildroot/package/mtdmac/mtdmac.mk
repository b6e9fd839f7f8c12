# SPDX-License-Identifier: MIT
################################################################################
#
# mtdmac
#
################################################################################

# The release tag v<version>; point the site at your copy of the repository.
MTDMAC_VERSION = v0.3.0
MTDMAC_SITE = https://git.example.org/mtdmac.git
MTDMAC_SITE_METHOD = git
MTDMAC_LICENSE = MIT
MTDMAC_LICENSE_FILES = LICENSE
# Your copy makes its own archive of the tag: its hash cannot be known here.
BR_NO_CHECK_HASH_FOR += $(MTDMAC_SOURCE)

# The tests run what is built for the box, which needs an emulator.
MTDMAC_CONF_OPTS = -DMTDMAC_BUILD_TESTS=OFF

define MTDMAC_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(MTDMAC_PKGDIR)/S38mtdmac \
		$(TARGET_DIR)/etc/init.d/S38mtdmac
endef

define MTDMAC_INSTALL_INIT_SYSTEMD
	$(INSTALL) -D -m 0644 $(@D)/dist/systemd/mtdmac.service \
		$(TARGET_DIR)/usr/lib/systemd/system/mtdmac.service
endef

$(eval $(cmake-package))
