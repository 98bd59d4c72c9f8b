################################################################################
#
# mp-test
#
################################################################################

# Built from the checkout this BR2_EXTERNAL tree belongs to (package/buildroot
# inside the program's repository), at the version its top CMakeLists.txt
# gives the project, which is also the one the program shows.
MP_TEST_VERSION = $(shell sed -n 's/^project.mp_test VERSION \([0-9.]*\).*/\1/p' $(MP_TEST_SITE)/CMakeLists.txt)
MP_TEST_SITE = $(BR2_EXTERNAL_MP_TEST_PATH)/../..
MP_TEST_SITE_METHOD = local
# Developers' build trees in the checkout are not part of the source.
MP_TEST_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude=/build --exclude=/out
MP_TEST_LICENSE = Proprietary
MP_TEST_REDISTRIBUTE = NO
MP_TEST_DEPENDENCIES = alsa-lib

# The image carries the program only: no tests, no simulated device. Warnings
# stay warnings, since the image's compiler may be newer than the developers'.
MP_TEST_CONF_OPTS = \
	-DMP_BUILD_TESTS=OFF \
	-DMP_BUILD_SIM=OFF \
	-DMP_BUILD_BENCH=OFF \
	-DMP_WERROR=OFF

# The arguments of mp_test go to /etc/default/mp_test, which the start script
# sources. The shell reads the values as .config quotes them (so \" and \\
# come out right), and each is written back single-quoted.
define MP_TEST_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(MP_TEST_PKGDIR)/S99mp_test \
		$(TARGET_DIR)/etc/init.d/S99mp_test
	mkdir -p $(TARGET_DIR)/etc/default
	app_dir=$(BR2_PACKAGE_MP_TEST_APP_DIR); \
	finish_script=$(BR2_PACKAGE_MP_TEST_FINISH_SCRIPT); \
	{ \
		printf "APP_DIR='%s'\n" "$$(printf '%s' "$$app_dir" | sed "s/'/'\\\\''/g")"; \
		printf "FINISH_SCRIPT='%s'\n" "$$(printf '%s' "$$finish_script" | sed "s/'/'\\\\''/g")"; \
	} > $(TARGET_DIR)/etc/default/mp_test
endef

$(eval $(cmake-package))
