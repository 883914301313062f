# CMake toolchain for 64-bit ARM Linux with Debian's cross compiler (g++-aarch64-linux-gnu), used by `make dist`.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# The C library and libstdc++ come from the cross compiler's own tree (Debian 12's glibc 2.36 and GCC 12
# for arm64), which is what keeps the wheel's manylinux tag low; build tools are this machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
