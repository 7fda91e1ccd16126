# Builds for 64-bit ARM machines with Debian's cross compilers
# (g++-aarch64-linux-gnu) and the arm64 libraries of multiarch
# (zlib1g-dev:arm64, libbz2-dev:arm64, nettle-dev:arm64, libsodium-dev:arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Where Debian's multiarch arm64 packages put their libraries and headers;
# the host's own (x86_64) libraries must never be found.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu /)
