# Read by CPack once for each generator: which install component it packs,
# under which file name and prefix.
if(CPACK_GENERATOR STREQUAL "ZIP")
    set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_LAUNCHER_BUILD_DIR};launcher;windows;/")
    set(CPACK_PACKAGE_FILE_NAME "launcher-${CPACK_PACKAGE_VERSION}-win32")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
elseif(CPACK_GENERATOR STREQUAL "TGZ")
    set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_LAUNCHER_BUILD_DIR};launcher;linux;/")
    set(CPACK_PACKAGE_FILE_NAME "launchertool-${CPACK_PACKAGE_VERSION}-linux-x86_64")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
elseif(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_LAUNCHER_BUILD_DIR};launcher;debian;/")
    set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
endif()
