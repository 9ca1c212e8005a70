# dotvane_export_headers(TARGET FOLDER): what code linking TARGET may
# include is FOLDER's own headers ("FOLDER/name.h"), and nothing else of the
# source tree: neither other folders nor FOLDER's subfolders, which are
# libraries of their own.  The headers are linked one by one under
# build/include/TARGET/FOLDER, which TARGET exports as its include folder,
# so a layer that includes a header of a library it does not link fails to
# build instead of growing a dependency nobody sees.
function(dotvane_export_headers target folder)
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/${folder})
  file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.h)
  foreach(header IN LISTS headers)
    get_filename_component(name ${header} NAME)
    file(CREATE_LINK ${header} ${root}/${folder}/${name} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
