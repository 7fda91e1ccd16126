# The launcher and miniunz for 32-bit Intel machines, built with the i386
# toolchain, so that one program runs on 32-bit and on 64-bit machines alike:
# <build>/libexec/mkportable/i386, and the platform library for 32-bit tools,
# <build>/lib/i386-linux-gnu.
include(${CMAKE_CURRENT_LIST_DIR}/cross-programs.cmake)
portable_cross_programs(i386 i386 i386-linux-gnu)
