# Cross build for the device: ARMv5TE (ARM926EJ-S), no FPU, Debian armel.
#
# Compiler and C library come from Debian's g++-arm-linux-gnueabi (its own
# sysroot under /usr/arm-linux-gnueabi); ALSA and GoogleTest come from the
# multiarch armel packages under /usr/lib/arm-linux-gnueabi, with the
# architecture-independent headers in /usr/include shared with the host.
# Programs built here run on the build machine through qemu-arm without -L:
# the armel loader and run-time libraries are installed as armel packages
# (libc6:armel, libstdc++6:armel, libatomic1:armel), so /lib/ld-linux.so.3
# finds them in the multiarch folders.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv5te)

set(MP_ARMEL_TRIPLET arm-linux-gnueabi)
set(CMAKE_C_COMPILER ${MP_ARMEL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MP_ARMEL_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${MP_ARMEL_TRIPLET})

# armel's defaults spelled out, so that another compiler's defaults cannot
# slip in floating-point or ARMv6/v7 instructions the ARM926EJ-S does not have
# (qemu's arm926 model traps them in the tests as the device would).
#
# 64-bit time and file offsets: with glibc's 32-bit time_t the clock, every
# time stamp and every timer the program keeps would wrap on 2038-01-19. The
# libraries the program calls into are Debian's, built with 32-bit time
# (alsa-lib among them): scripts/test-armel checks that none of the calls the
# program makes into alsa-lib passes a time. The simulated device's
# preloaded library and sound card plugin are built with the 32-bit names
# they stand between (sim/preload, sim/alsa).
set(MP_ARMEL_ABI_FLAGS "-march=armv5te -marm -mfloat-abi=soft -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_C_FLAGS_INIT "${MP_ARMEL_ABI_FLAGS}")
# -Wno-psabi: GCC notes that the passing of some std::vector iterators changed
# in GCC 7.1; everything here is built by the same compiler.
set(CMAKE_CXX_FLAGS_INIT "${MP_ARMEL_ABI_FLAGS} -Wno-psabi")

# Look for target libraries and packages only in the cross sysroot and the
# armel multiarch folders. "/" stays a root because the multiarch folders are
# under it; the host's own library folders are excluded explicitly so that a
# host-only package (libpng, zlib) is reported missing instead of being picked
# up for the wrong architecture.
set(CMAKE_FIND_ROOT_PATH /usr/${MP_ARMEL_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
foreach(host_arch x86_64-linux-gnu i386-linux-gnu aarch64-linux-gnu)
  list(APPEND CMAKE_IGNORE_PATH
    /lib/${host_arch} /usr/lib/${host_arch}
    /usr/lib/${host_arch}/cmake /usr/include/${host_arch})
  list(APPEND CMAKE_IGNORE_PREFIX_PATH /usr/lib/${host_arch}/cmake)
endforeach()
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${MP_ARMEL_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Target programs (tests, gtest discovery, the simulated device's runs) go
# through the emulator. No -L: see above.
find_program(MP_QEMU_ARM qemu-arm)
if(MP_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MP_QEMU_ARM} -cpu arm926)
endif()

# Links the host build's preloaded library into this build's simulated device
# root (see that file).
set(CMAKE_PROJECT_mp_test_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/toolchain-armel-simroot.cmake)
