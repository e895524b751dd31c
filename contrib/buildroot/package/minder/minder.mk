################################################################################
#
# minder
#
################################################################################

# SPDX-License-Identifier: MIT
# Built from the source tree this external tree belongs to.
MINDER_VERSION = 1.0.0
MINDER_SITE = $(BR2_EXTERNAL_MINDER_PATH)/../..
MINDER_SITE_METHOD = local
# What the project's own builds and tests leave in the tree.
MINDER_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = \
	--exclude='/build*' --exclude=/Testing --exclude=/fuzz/corpus-run
MINDER_LICENSE = MIT
MINDER_LICENSE_FILES = LICENSE
MINDER_DEPENDENCIES = cjson host-pkgconf
MINDER_SUPPORTS_IN_SOURCE_BUILD = NO
MINDER_CONF_OPTS = -DMINDER_TESTS=OFF -DMINDER_TOOL=OFF -DMINDER_WERROR=OFF

MINDER_PROGRAM_DIR = $(call qstrip,$(BR2_PACKAGE_MINDER_PROGRAM_DIR))

ifeq ($(BR2_PACKAGE_MINDER),y)
ifeq ($(filter /%,$(MINDER_PROGRAM_DIR)),)
$(error BR2_PACKAGE_MINDER_PROGRAM_DIR must be an absolute path, not '$(MINDER_PROGRAM_DIR)')
endif
endif

# The daemon and the example config into the program directory, where
# the programs it supervises and their "config" go too.
define MINDER_INSTALL_TARGET_CMDS
	$(INSTALL) -D -m 0755 $(MINDER_BUILDDIR)/minder \
		$(TARGET_DIR)$(MINDER_PROGRAM_DIR)/minder
	$(INSTALL) -D -m 0644 $(@D)/examples/config \
		$(TARGET_DIR)$(MINDER_PROGRAM_DIR)/config.example
endef

ifeq ($(BR2_PACKAGE_MINDER_BOOT_SCRIPT),y)
define MINDER_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(@D)/boot/minder.init \
		$(TARGET_DIR)/etc/init.d/S95minder
	$(SED) 's|^DIR=.*|DIR=$(MINDER_PROGRAM_DIR)|' \
		$(TARGET_DIR)/etc/init.d/S95minder
endef

define MINDER_INSTALL_INIT_SYSTEMD
	$(INSTALL) -D -m 0644 $(@D)/boot/minder.service \
		$(TARGET_DIR)/usr/lib/systemd/system/minder.service
	$(SED) 's|^ExecStart=.*|ExecStart=$(MINDER_PROGRAM_DIR)/minder|' \
		$(TARGET_DIR)/usr/lib/systemd/system/minder.service
endef
endif

# After every package has installed, so that BusyBox's inittab is there
# to append to: an inittab holding only this line would replace init's
# built-in default.
ifeq ($(BR2_PACKAGE_MINDER_BOOT_INITTAB),y)
define MINDER_INITTAB_RESPAWN
	@test -f $(TARGET_DIR)/etc/inittab || \
		{ echo "minder: no /etc/inittab in the image to add its respawn line to" >&2; exit 1; }
	grep -qsxF '::respawn:$(MINDER_PROGRAM_DIR)/minder' $(TARGET_DIR)/etc/inittab || \
		echo '::respawn:$(MINDER_PROGRAM_DIR)/minder' >> $(TARGET_DIR)/etc/inittab
endef
MINDER_TARGET_FINALIZE_HOOKS += MINDER_INITTAB_RESPAWN
endif

$(eval $(cmake-package))
