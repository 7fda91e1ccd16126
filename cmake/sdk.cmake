# The installed SDK for tool makers: the platform header, the static
# platform library of each architecture with its pkg-config file, and the
# CMake package config (mkportable::mkportable, mkportable::platform,
# mkportable_add_package); the config is the same for every architecture and
# lives in share/cmake/mkportable.
include(CMakePackageConfigHelpers)

set(MKPORTABLE_SDK_DIR ${CMAKE_CURRENT_LIST_DIR}/sdk)

# Where each architecture's platform library goes, below the prefix: the
# machine's own in its multiarch folder; another that this machine's
# compilers build for where they look for it, so that a .deb for amd64 puts
# nothing of another architecture in a multiarch folder of /usr/lib (i386:
# lib32, where gcc -m32 looks, as Debian's lib32* packages do; an
# architecture built by a cross compiler: <triplet>/lib, where
# <triplet>-gcc looks, as Debian's *-cross packages do).
set(MKPORTABLE_LIBRARY_DIRS
    # architecture  folder
    x86_64          lib/x86_64-linux-gnu
    i386            lib32
    arm64           aarch64-linux-gnu/lib)

# Installs the platform library `file` of `arch` and its pkg-config file,
# <folder>/libmkportable-platform.a and <folder>/pkgconfig/mkportable-platform.pc.
function(mkportable_install_platform_library arch file)
  list(FIND MKPORTABLE_LIBRARY_DIRS ${arch} at)
  math(EXPR at "${at} + 1")
  list(GET MKPORTABLE_LIBRARY_DIRS ${at} folder)
  install(FILES ${file} DESTINATION ${folder} RENAME libmkportable-platform.a)
  set(PC_ARCH ${arch})
  set(PC_LIBDIR ${folder})
  # The prefix as seen from the pkgconfig folder, so the file works in any prefix.
  file(RELATIVE_PATH PC_PREFIX /prefix/${folder}/pkgconfig /prefix)
  configure_file(${MKPORTABLE_SDK_DIR}/mkportable-platform.pc.in ${CMAKE_BINARY_DIR}/sdk/${arch}/mkportable-platform.pc
                 @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/sdk/${arch}/mkportable-platform.pc DESTINATION ${folder}/pkgconfig)
endfunction()

install(FILES ${PROJECT_SOURCE_DIR}/platform/osspecific.h DESTINATION include/mkportable)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  mkportable_install_platform_library(x86_64 $<TARGET_FILE:platform>)
endif()

write_basic_package_version_file(${CMAKE_BINARY_DIR}/sdk/mkportableConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${MKPORTABLE_SDK_DIR}/mkportableConfig.cmake
              ${MKPORTABLE_SDK_DIR}/mkportableAddPackage.cmake
              ${CMAKE_BINARY_DIR}/sdk/mkportableConfigVersion.cmake
        DESTINATION share/cmake/mkportable)
