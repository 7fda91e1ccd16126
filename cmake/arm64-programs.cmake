# The launcher and miniunz for 64-bit ARM machines, built with the aarch64
# cross compiler: <build>/libexec/mkportable/aarch64, and the platform
# library for ARM tools, <build>/lib/aarch64-linux-gnu.
include(${CMAKE_CURRENT_LIST_DIR}/cross-programs.cmake)
portable_cross_programs(arm64 aarch64 aarch64-linux-gnu)
