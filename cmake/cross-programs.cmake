# The launcher and miniunz for another kind of machine: the same sources
# built again with that machine's toolchain in a build tree of their own,
# statically, as the target `<name>_programs`. They land in
# <build>/libexec/mkportable/<folder>, where mkportable looks for them, and
# are installed to <prefix>/libexec/mkportable/<folder>. The same build makes
# the platform library for that machine's tools, <build>/lib/<triplet>,
# installed where cmake/sdk.cmake's table puts the library of `name`.
include(ExternalProject)
include(GNUInstallDirs)

function(portable_cross_programs name folder triplet)
  set(program_dir ${CMAKE_BINARY_DIR}/libexec/mkportable/${folder})
  set(library_dir ${CMAKE_BINARY_DIR}/lib/${triplet})
  ExternalProject_Add(${name}_programs
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${name}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${name}-toolchain.cmake
      -DCMAKE_BUILD_TYPE=Release
      -DPORTABLE_I386=OFF
      -DPORTABLE_ARM64=OFF
      -DPORTABLE_PACKAGED_ONLY=ON
      -DPORTABLE_TESTS=OFF
      -DPORTABLE_SANITIZE=OFF
      -DPORTABLE_STATIC=ON
      -DSUPPORT_FTP_HOST=${SUPPORT_FTP_HOST}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target packaged_programs platform
    INSTALL_COMMAND ${CMAKE_COMMAND} -E make_directory ${program_dir} ${library_dir}
    COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/bin/launcher <BINARY_DIR>/bin/miniunz ${program_dir}
    COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/platform/libplatform.a ${library_dir}/libmkportable-platform.a
    # The inner build decides itself what is out of date.
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${program_dir}/launcher ${program_dir}/miniunz ${library_dir}/libmkportable-platform.a
    USES_TERMINAL_BUILD ON)

  install(PROGRAMS ${program_dir}/launcher ${program_dir}/miniunz
          DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/mkportable/${folder})
  mkportable_install_platform_library(${name} ${library_dir}/libmkportable-platform.a)
endfunction()
