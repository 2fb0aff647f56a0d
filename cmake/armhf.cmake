# Cross build for 32-bit ARM (armhf) with Debian's cross compilers
# (gcc-arm-linux-gnueabihf, g++-arm-linux-gnueabihf):
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
#
# The armhf libraries come from the cross C library (/usr/arm-linux-gnueabihf),
# Debian's multi-arch packages (/usr/lib/arm-linux-gnueabihf: GoogleTest) and
# the sysroot that tools/install-deps --armhf unpacks (zlib, expat).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(TQSFTP_ARMHF_SYSROOT /usr/local/arm-linux-gnueabihf
    CACHE PATH "Where tools/install-deps --armhf unpacks the armhf zlib and expat")
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf ${TQSFTP_ARMHF_SYSROOT} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target programs run under qemu-arm (Debian's qemu-user) as they would on
# the device: the loader and the C and C++ run-time libraries are Debian's
# armhf packages (libc6:armhf, libstdc++6:armhf) at the machine's own /lib
# paths.  No binfmt registration is needed.  qemu-arm's -L prefix is not
# used: it serves every absolute path that exists under the prefix from
# there, "/" included, so the server's walk down from "/" would walk the
# prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
