# `make package`: a Debian package of mkportable and its SDK, made by CPack
# from the installed tree (prefix /usr), with what Debian asks of every
# package beside it: the copyright file, a Debian changelog, the reasons for
# what lintian would otherwise flag, and mkportable's debugging information
# in a separate mkportable-dbgsym package.
set(MKPORTABLE_DEBIAN_REVISION 1 CACHE STRING "Debian revision of the mkportable package (the part after the dash)")

# Who maintains the package: Debian's own tools take DEBFULLNAME and
# DEBEMAIL; else the author of the sources' last commit.
set(maintainer_name $ENV{DEBFULLNAME})
set(maintainer_mail $ENV{DEBEMAIL})
if(NOT maintainer_name OR NOT maintainer_mail)
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%an OUTPUT_VARIABLE maintainer_name
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ae OUTPUT_VARIABLE maintainer_mail
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT maintainer_name OR NOT maintainer_mail)
  cmake_host_system_information(RESULT host QUERY FQDN)
  set(maintainer_name "mkportable packager")
  set(maintainer_mail "$ENV{USER}@${host}")
  if(NOT DEFINED CACHE{MKPORTABLE_MAINTAINER})
    message(WARNING "No DEBFULLNAME and DEBEMAIL, and no git history: the package's maintainer is "
                    "${maintainer_mail}; set MKPORTABLE_MAINTAINER to \"Name <address>\"")
  endif()
endif()
set(MKPORTABLE_MAINTAINER "${maintainer_name} <${maintainer_mail}>" CACHE STRING
    "Maintainer of the mkportable Debian package, \"Name <address>\" (default: DEBFULLNAME and DEBEMAIL, else the last commit's author)")
string(TIMESTAMP year "%Y" UTC)
set(MKPORTABLE_COPYRIGHT "${year} Quarn" CACHE STRING "Year and holder of the copyright named in the package's copyright file")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mkportable)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${MKPORTABLE_DEBIAN_REVISION})
set(MKPORTABLE_DEBIAN_VERSION ${PROJECT_VERSION}-${MKPORTABLE_DEBIAN_REVISION})
set(CPACK_PACKAGE_VENDOR "Quarn")
set(CPACK_PACKAGE_CONTACT "${MKPORTABLE_MAINTAINER}")
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
# mkportable is installed with its debugging information; CPack moves it to
# mkportable-dbgsym (/usr/lib/debug/.build-id) and strips the program. The
# launchers and unzip utilities are installed stripped, as packages carry
# them; their unstripped builds stay in <build>/bin/unstripped.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# The platform library is static: linking a tool with it needs a C/C++
# toolchain, and the 32-bit one the multilib compilers.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "g++, pkgconf, cmake")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "g++-multilib")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)

# /usr/share/doc/mkportable: copyright, and the changelog compressed as
# Debian wants it (gzip -n: no name or time, so the same sources give the
# same bytes). The date is SOURCE_DATE_EPOCH's when set.
set(debian_dir ${CMAKE_BINARY_DIR}/debian)
string(TIMESTAMP MKPORTABLE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in ${debian_dir}/copyright @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${debian_dir}/changelog.Debian @ONLY)
add_custom_command(
  OUTPUT ${debian_dir}/changelog.Debian.gz
  COMMAND gzip -9nkf ${debian_dir}/changelog.Debian
  DEPENDS ${debian_dir}/changelog.Debian
  VERBATIM)
add_custom_target(debian_files ALL DEPENDS ${debian_dir}/changelog.Debian.gz)
install(FILES ${debian_dir}/copyright ${debian_dir}/changelog.Debian.gz DESTINATION share/doc/mkportable)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides DESTINATION share/lintian/overrides
        RENAME mkportable)
include(CPack)
