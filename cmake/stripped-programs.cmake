# The launcher and miniunz that packages carry, without symbols or debug
# information: every package carries both, so their size is every package's
# overhead. The linked programs stay in <build>/bin/unstripped for debugging;
# <build>/bin gets the stripped copies, which mkportable packs by default,
# the tests run and the install rules install. The sanitizer and fuzz builds
# keep symbols: there, <build>/bin gets plain copies.
option(PORTABLE_STRIP "Strip the launcher and miniunz that packages carry" ON)
if(PORTABLE_SANITIZE OR PORTABLE_FUZZ)
  set(PORTABLE_STRIP OFF)
endif()

set(PORTABLE_PACKAGED_PROGRAMS)
foreach(program launcher miniunz)
  if(NOT TARGET ${program})
    continue()
  endif()
  set_target_properties(${program} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/unstripped)
  set(packaged ${CMAKE_BINARY_DIR}/bin/${program})
  if(PORTABLE_STRIP)
    set(make_copy ${CMAKE_STRIP} --strip-all -o ${packaged} $<TARGET_FILE:${program}>)
  else()
    set(make_copy ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${program}> ${packaged})
  endif()
  add_custom_command(OUTPUT ${packaged} COMMAND ${make_copy} DEPENDS ${program}
                     COMMENT "Packaged copy of ${program}" VERBATIM)
  list(APPEND PORTABLE_PACKAGED_PROGRAMS ${packaged})
endforeach()
add_custom_target(packaged_programs ALL DEPENDS ${PORTABLE_PACKAGED_PROGRAMS})
