# The launcher and miniunz for 64-bit ARM machines: the same sources built
# again with the aarch64 cross compiler in a build tree of their own,
# statically. They land in <build>/libexec/mkportable/aarch64, where
# mkportable looks for them, and are installed to
# <prefix>/libexec/mkportable/aarch64. The same build makes the platform
# library for ARM tools, <build>/lib/aarch64-linux-gnu.
include(ExternalProject)
include(GNUInstallDirs)

set(ARM64_PROGRAM_DIR ${CMAKE_BINARY_DIR}/libexec/mkportable/aarch64)
set(ARM64_LIBRARY_DIR ${CMAKE_BINARY_DIR}/lib/aarch64-linux-gnu)
ExternalProject_Add(arm64_programs
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/arm64
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/arm64-toolchain.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DPORTABLE_I386=OFF
    -DPORTABLE_ARM64=OFF
    -DPORTABLE_PACKAGED_ONLY=ON
    -DPORTABLE_TESTS=OFF
    -DPORTABLE_SANITIZE=OFF
    -DPORTABLE_STATIC=ON
    -DSUPPORT_FTP_HOST=${SUPPORT_FTP_HOST}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target packaged_programs platform
  INSTALL_COMMAND ${CMAKE_COMMAND} -E make_directory ${ARM64_PROGRAM_DIR} ${ARM64_LIBRARY_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/bin/launcher <BINARY_DIR>/bin/miniunz ${ARM64_PROGRAM_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/platform/libplatform.a ${ARM64_LIBRARY_DIR}/libmkportable-platform.a
  # The inner build decides itself what is out of date.
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${ARM64_PROGRAM_DIR}/launcher ${ARM64_PROGRAM_DIR}/miniunz
                   ${ARM64_LIBRARY_DIR}/libmkportable-platform.a
  USES_TERMINAL_BUILD ON)

install(PROGRAMS ${ARM64_PROGRAM_DIR}/launcher ${ARM64_PROGRAM_DIR}/miniunz
        DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/mkportable/aarch64)
mkportable_install_platform_library(arm64 ${ARM64_LIBRARY_DIR}/libmkportable-platform.a)
