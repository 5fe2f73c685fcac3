# Cross-compiling for 64-bit Arm Linux on a Debian machine (make test-arm64):
# Debian's cross compiler, the arm64 builds of the libraries installed beside
# the native ones (multiarch, /usr/lib/aarch64-linux-gnu), and qemu-aarch64 to
# run what is built (test discovery and ctest), which finds the arm64 loader
# and libraries at their multiarch paths.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

# pkg-config reads the arm64 .pc files only (the headers are shared).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Debian's arm64 packages that cannot be installed beside the native ones
# (ISA-L's) are unpacked under JORVANE_ARM64_UNPACKED (the Makefile's
# build-arm64 names it): their headers and libraries are found there first.
if(JORVANE_ARM64_UNPACKED)
  list(PREPEND CMAKE_PREFIX_PATH "${JORVANE_ARM64_UNPACKED}/usr")
endif()
