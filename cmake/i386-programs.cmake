# The launcher and miniunz for 32-bit Intel machines: the same sources built
# again with the i386 toolchain in a build tree of their own, statically, so
# that one program runs on 32-bit and on 64-bit machines alike. They land in
# <build>/libexec/mkportable/i386, where mkportable looks for them, and are
# installed to <prefix>/libexec/mkportable/i386. The same build makes the
# platform library for 32-bit tools, <build>/lib/i386-linux-gnu.
include(ExternalProject)
include(GNUInstallDirs)

set(I386_PROGRAM_DIR ${CMAKE_BINARY_DIR}/libexec/mkportable/i386)
set(I386_LIBRARY_DIR ${CMAKE_BINARY_DIR}/lib/i386-linux-gnu)
ExternalProject_Add(i386_programs
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/i386
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/i386-toolchain.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DPORTABLE_I386=OFF
    -DPORTABLE_PACKAGED_ONLY=ON
    -DPORTABLE_TESTS=OFF
    -DPORTABLE_SANITIZE=OFF
    -DPORTABLE_STATIC=ON
    -DSUPPORT_FTP_HOST=${SUPPORT_FTP_HOST}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target packaged_programs platform
  INSTALL_COMMAND ${CMAKE_COMMAND} -E make_directory ${I386_PROGRAM_DIR} ${I386_LIBRARY_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/bin/launcher <BINARY_DIR>/bin/miniunz ${I386_PROGRAM_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/platform/libplatform.a ${I386_LIBRARY_DIR}/libmkportable-platform.a
  # The inner build decides itself what is out of date.
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${I386_PROGRAM_DIR}/launcher ${I386_PROGRAM_DIR}/miniunz
                   ${I386_LIBRARY_DIR}/libmkportable-platform.a
  USES_TERMINAL_BUILD ON)

install(PROGRAMS ${I386_PROGRAM_DIR}/launcher ${I386_PROGRAM_DIR}/miniunz
        DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/mkportable/i386)
mkportable_install_platform_library(i386 ${I386_LIBRARY_DIR}/libmkportable-platform.a)
