# SPDX-License-Identifier: MIT
include $(sort $(wildcard $(BR2_EXTERNAL_MTDMAC_PATH)/package/*/*.mk))
