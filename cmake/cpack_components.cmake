# Read by cpack before each generator runs: every package holds its own
# install component (see the packages in CMakeLists.txt).
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL system)
elseif(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_COMPONENTS_ALL portable)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_TESSALY_PORTABLE_FILE_NAME})
  # Unpacks into a folder of that name.
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
elseif(CPACK_GENERATOR STREQUAL "ZIP")
  # Unpacked on Windows, where x64\ and x86\ sit beside README.txt.
  set(CPACK_COMPONENTS_ALL windows)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_TESSALY_WINDOWS_FILE_NAME})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
endif()
