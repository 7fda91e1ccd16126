# The installed SDK for tool makers: the platform header, the static
# platform library of each architecture with its pkg-config file, and the
# CMake package config (mkportable::mkportable, mkportable::platform,
# mkportable_add_package). Libraries go to the multiarch folders
# lib/x86_64-linux-gnu and lib/i386-linux-gnu whatever the prefix, where
# pkg-config of each architecture looks; the config is the same for both and
# lives in share/cmake/mkportable.
include(CMakePackageConfigHelpers)

set(MKPORTABLE_SDK_DIR ${CMAKE_CURRENT_LIST_DIR}/sdk)

# Installs lib/<multiarch>/pkgconfig/mkportable-platform.pc.
function(mkportable_install_pkgconfig arch multiarch)
  set(PC_ARCH ${arch})
  set(PC_MULTIARCH ${multiarch})
  configure_file(${MKPORTABLE_SDK_DIR}/mkportable-platform.pc.in
                 ${CMAKE_BINARY_DIR}/sdk/${multiarch}/mkportable-platform.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/sdk/${multiarch}/mkportable-platform.pc
          DESTINATION lib/${multiarch}/pkgconfig)
endfunction()

install(FILES ${PROJECT_SOURCE_DIR}/platform/osspecific.h DESTINATION include/mkportable)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  install(FILES $<TARGET_FILE:platform> DESTINATION lib/x86_64-linux-gnu
          RENAME libmkportable-platform.a)
  mkportable_install_pkgconfig(x86_64 x86_64-linux-gnu)
endif()

write_basic_package_version_file(${CMAKE_BINARY_DIR}/sdk/mkportableConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${MKPORTABLE_SDK_DIR}/mkportableConfig.cmake
              ${MKPORTABLE_SDK_DIR}/mkportableAddPackage.cmake
              ${CMAKE_BINARY_DIR}/sdk/mkportableConfigVersion.cmake
        DESTINATION share/cmake/mkportable)
