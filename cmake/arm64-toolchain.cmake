# Builds for 64-bit ARM machines with clang, Debian's aarch64 binutils and
# its arm64 cross C and C++ libraries (binutils-aarch64-linux-gnu,
# libc6-dev-arm64-cross, libstdc++-12-dev-arm64-cross), which, unlike
# g++-aarch64-linux-gnu, can stay installed beside g++-multilib; and the
# arm64 libraries of multiarch (zlib1g-dev:arm64, libbz2-dev:arm64,
# libdeflate-dev:arm64, nettle-dev:arm64, libsodium-dev:arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_AR aarch64-linux-gnu-ar CACHE FILEPATH "")
set(CMAKE_RANLIB aarch64-linux-gnu-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP aarch64-linux-gnu-strip CACHE FILEPATH "")
# Where Debian's multiarch arm64 packages put their libraries and headers;
# the host's own (x86_64) libraries must never be found.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu /)
