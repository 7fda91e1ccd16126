# `make package`: a Debian package of mkportable and its SDK, made by CPack
# from the installed tree (prefix /usr).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mkportable)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quarn")
set(CPACK_PACKAGE_CONTACT "Quarn tool makers <tools@quarn.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "self-extracting portable packages for Intel Linux tools")
# CPack indents each line of the long description by one blank itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "mkportable packs a tool, its command records and an unzip utility behind a
small statically linked launcher into one executable file that runs the tool
on 32- and 64-bit Intel Linux machines. It can bundle a dynamic program with
its shared libraries and dynamic loader. The package holds the packer, the
launchers and unzip utilities for both architectures, the platform library
with its header, pkg-config files and CMake package config
(find_package(mkportable), mkportable_add_package), and the manual pages.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries that mkportable itself links, found by dpkg-shlibdeps; the
# launchers and unzip utilities are static.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The platform library is static: linking a tool with it needs a C/C++
# toolchain, and the 32-bit one the multilib compilers.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "g++, pkgconf, cmake")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "g++-multilib")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
