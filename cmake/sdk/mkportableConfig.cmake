# find_package(mkportable): the packer, the platform library and the
# function that builds a package as part of a project's build.
#
#   mkportable::mkportable   the packer (an imported executable)
#   mkportable::platform     the static platform library for the consuming
#                            project's architecture (an aarch64 or arm64
#                            CMAKE_SYSTEM_PROCESSOR takes the aarch64 one,
#                            else CMAKE_SIZEOF_VOID_P: 4 takes the i386 one,
#                            8 the x86_64 one)
#   mkportable_add_package(NAME OUTPUT file MANIFEST file [DEPENDS targets...])
include_guard(GLOBAL)

get_filename_component(_mkportable_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET mkportable::mkportable)
  add_executable(mkportable::mkportable IMPORTED)
  set_target_properties(mkportable::mkportable PROPERTIES
    IMPORTED_LOCATION "${_mkportable_prefix}/bin/mkportable")
endif()

# The folder of each architecture's library, as cmake/sdk.cmake installs it.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(_mkportable_libdir aarch64-linux-gnu/lib)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_mkportable_libdir lib32)
else()
  set(_mkportable_libdir lib/x86_64-linux-gnu)
endif()
set(_mkportable_platform_lib "${_mkportable_prefix}/${_mkportable_libdir}/libmkportable-platform.a")
if(NOT TARGET mkportable::platform AND EXISTS "${_mkportable_platform_lib}")
  add_library(mkportable::platform STATIC IMPORTED)
  # The library is C++ inside, behind a C interface: C programs need the C++
  # run-time library, and every program the dynamic loader (libcurl for the
  # upload is loaded at run time).
  set_target_properties(mkportable::platform PROPERTIES
    IMPORTED_LOCATION "${_mkportable_platform_lib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_mkportable_prefix}/include/mkportable"
    INTERFACE_LINK_LIBRARIES "stdc++;${CMAKE_DL_LIBS}")
elseif(NOT TARGET mkportable::platform)
  message(WARNING "mkportable: no platform library for ${_mkportable_libdir} in "
                  "${_mkportable_prefix}; mkportable::platform is not available")
endif()

include("${CMAKE_CURRENT_LIST_DIR}/mkportableAddPackage.cmake")
unset(_mkportable_platform_lib)
unset(_mkportable_libdir)
