# SPDX-License-Identifier: MIT
include $(sort $(wildcard $(BR2_EXTERNAL_MINDER_PATH)/package/*/*.mk))
