# The manual pages, each made in <build>/man/manN and installed compressed
# (gzip -n: the same sources give the same bytes) to share/man/manN.
# mkportable prints its own pages and portable-package(1) from the same
# definitions as its --help and the launcher's --portable-help;
# mkportable-manifest(5) is made from the key tables of docs/manifest.md.
set(MKPORTABLE_MAN_PAGES
    # page                section
    mkportable            1
    mkportable-build      1
    mkportable-info       1
    mkportable-verify     1
    mkportable-sign       1
    mkportable-key        1
    mkportable-try        1
    portable-package      1
    mkportable-manifest   5)
set(MKPORTABLE_MAN_FILES)
list(LENGTH MKPORTABLE_MAN_PAGES count)
math(EXPR last "${count} - 1")
foreach(index RANGE 0 ${last} 2)
  math(EXPR next "${index} + 1")
  list(GET MKPORTABLE_MAN_PAGES ${index} page)
  list(GET MKPORTABLE_MAN_PAGES ${next} section)
  set(dir ${CMAKE_BINARY_DIR}/man/man${section})
  set(file ${dir}/${page}.${section})
  if(page STREQUAL "mkportable-manifest")
    add_custom_command(
      OUTPUT ${file}
      COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}/docs/manifest.md -DOUTPUT=${file}
              -P ${CMAKE_CURRENT_LIST_DIR}/manifest-man-page.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/docs/manifest.md ${CMAKE_CURRENT_LIST_DIR}/manifest-man-page.cmake
      VERBATIM)
  else()
    add_custom_command(
      OUTPUT ${file}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND mkportable man ${page} > ${file}
      DEPENDS mkportable
      VERBATIM)
  endif()
  add_custom_command(OUTPUT ${file}.gz COMMAND gzip -9nkf ${file} DEPENDS ${file} VERBATIM)
  list(APPEND MKPORTABLE_MAN_FILES ${file}.gz)
  install(FILES ${file}.gz DESTINATION share/man/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${MKPORTABLE_MAN_FILES})
