# dotvane_add_manpage(<program target> <sections file> [<file it includes>...]): writes <program>.1
# and <program>.1.gz into the current binary folder from the program's own
# --help and the sections file kept next to its code (cmake/manpage.py), and
# lists the page in the global property DOTVANE_MANPAGES for the render test.
function(dotvane_add_manpage target sections)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  add_custom_command(
    OUTPUT ${page} ${page}.gz
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/manpage.py
            --program $<TARGET_FILE:${target}> --title ${target} --section 1
            --source "Dotvane ${PROJECT_VERSION}" --sections ${sections}
            --output ${page} --gzip ${page}.gz
    DEPENDS ${target} ${sections} ${ARGN} ${PROJECT_SOURCE_DIR}/cmake/manpage.py
    COMMENT "Writing the manual page ${target}(1)"
    VERBATIM)
  add_custom_target(${target}-manpage ALL DEPENDS ${page} ${page}.gz)
  set_property(GLOBAL APPEND PROPERTY DOTVANE_MANPAGES ${page})
endfunction()
