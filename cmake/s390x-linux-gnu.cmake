# Cross build for a big-endian Linux host (IBM Z, s390x) with Debian's cross
# compilers (g++-s390x-linux-gnu), its programs run under QEMU's user-mode
# emulator (qemu-user). The library, the suites, the examples and the tool
# are built as on any Linux host; CTest runs each program through the
# emulator, so the storage format is checked on a host whose byte order is
# the opposite of the medium's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)

# Libraries and headers of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must not offer the build machine's libraries (libfuse3).
set(ENV{PKG_CONFIG_LIBDIR} /usr/s390x-linux-gnu/lib/pkgconfig:/usr/lib/s390x-linux-gnu/pkgconfig)

# The emulator finds the target's loader and libraries under -L.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/s390x-linux-gnu)
