# The manual pages: mkportable's own are printed by `mkportable man PAGE`
# from the same definitions as --help; the page on running a package is
# written by hand. All land in <build>/man/man1 and are installed to
# share/man/man1.
set(MKPORTABLE_MAN_DIR ${CMAKE_BINARY_DIR}/man/man1)
set(MKPORTABLE_MAN_PAGES)
foreach(page mkportable mkportable-build mkportable-info mkportable-verify mkportable-sign mkportable-key
             mkportable-try)
  add_custom_command(
    OUTPUT ${MKPORTABLE_MAN_DIR}/${page}.1
    COMMAND ${CMAKE_COMMAND} -E make_directory ${MKPORTABLE_MAN_DIR}
    COMMAND mkportable man ${page} > ${MKPORTABLE_MAN_DIR}/${page}.1
    DEPENDS mkportable
    VERBATIM)
  list(APPEND MKPORTABLE_MAN_PAGES ${MKPORTABLE_MAN_DIR}/${page}.1)
endforeach()
add_custom_command(
  OUTPUT ${MKPORTABLE_MAN_DIR}/portable-package.1
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/man/portable-package.1 ${MKPORTABLE_MAN_DIR}/
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/portable-package.1
  VERBATIM)
list(APPEND MKPORTABLE_MAN_PAGES ${MKPORTABLE_MAN_DIR}/portable-package.1)
add_custom_target(man_pages ALL DEPENDS ${MKPORTABLE_MAN_PAGES})
install(FILES ${MKPORTABLE_MAN_PAGES} DESTINATION share/man/man1)
