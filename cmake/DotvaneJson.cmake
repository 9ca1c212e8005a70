# JSON through nlohmann-json (header-only), as the target dotvane_json.
# A cross build takes a copy of the host's headers alone, as it does for
# CLI11: the host's include folder as a whole is not for the cross compiler.
add_library(dotvane_json INTERFACE)
if(CMAKE_CROSSCOMPILING)
  find_path(DOTVANE_JSON_INCLUDE nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  file(COPY ${DOTVANE_JSON_INCLUDE}/nlohmann DESTINATION ${PROJECT_BINARY_DIR}/nlohmann-json)
  target_include_directories(dotvane_json SYSTEM INTERFACE ${PROJECT_BINARY_DIR}/nlohmann-json)
else()
  find_package(nlohmann_json 3.9 REQUIRED)
  target_link_libraries(dotvane_json INTERFACE nlohmann_json::nlohmann_json)
endif()
