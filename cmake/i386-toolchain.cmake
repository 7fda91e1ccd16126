# Builds for 32-bit Intel machines with Debian's multilib compilers
# (g++-multilib) and the i386 libraries (lib32z1-dev, libbz2-dev:i386).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
# Where Debian's multiarch i386 packages put their libraries.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
