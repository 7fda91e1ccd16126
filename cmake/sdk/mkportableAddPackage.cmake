# mkportable_add_package(NAME OUTPUT file MANIFEST file [DEPENDS targets...])
#
# Builds the package OUTPUT from MANIFEST as part of the build, in the target
# NAME (built by default). mkportable writes a depfile of everything the
# package is made of (the manifest, the launcher, the unzip utility, every
# file and folder of the image, bundled libraries), so the package is
# rebuilt when any of them changes; DEPENDS names targets that make files of
# the image, so that they are built first. Relative paths are taken from the
# current source folder (MANIFEST) and binary folder (OUTPUT).
include_guard(GLOBAL)

function(mkportable_add_package name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT;MANIFEST" "DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "mkportable_add_package: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required OUTPUT MANIFEST)
    if(NOT arg_${required})
      message(FATAL_ERROR "mkportable_add_package(${name}): ${required} is required")
    endif()
  endforeach()
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(manifest "${arg_MANIFEST}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  set(depfile "${output}.d")
  add_custom_command(
    OUTPUT "${output}"
    COMMAND mkportable::mkportable build "${manifest}" -o "${output}" --depfile "${depfile}" --quiet
    DEPENDS "${manifest}" mkportable::mkportable ${arg_DEPENDS}
    DEPFILE "${depfile}"
    COMMENT "Packing ${name} into ${output}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${output}")
endfunction()
