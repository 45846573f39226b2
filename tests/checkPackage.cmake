# Makes the deployer's package and checks what it holds:
#   cmake -DBUILD_DIR=... -DVERSION=... -P checkPackage.cmake
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target package
    RESULT_VARIABLE built OUTPUT_QUIET)
if(NOT built EQUAL 0)
    message(FATAL_ERROR "the package target failed")
endif()
set(zip ${BUILD_DIR}/launcher-${VERSION}-win32.zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip}
    OUTPUT_VARIABLE listing RESULT_VARIABLE listed)
if(NOT listed EQUAL 0)
    message(FATAL_ERROR "cannot read ${zip}")
endif()
string(REPLACE "\n" ";" entries "${listing}")
list(REMOVE_ITEM entries "")
list(SORT entries)
set(expected Acme.toml configuration.md deployer-guide.md launcher.exe launchertool.exe
    launchertool.md)
if(NOT entries STREQUAL expected)
    message(FATAL_ERROR "the package holds [${entries}], expected [${expected}]")
endif()
# The packaged program is the stripped one the build made.
set(unpacked ${BUILD_DIR}/package-check)
file(REMOVE_RECURSE ${unpacked})
file(MAKE_DIRECTORY ${unpacked})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${unpacked})
file(SHA256 ${unpacked}/launcher.exe packaged)
file(SHA256 ${BUILD_DIR}/launcher.exe built)
if(NOT packaged STREQUAL built)
    message(FATAL_ERROR "the packaged launcher.exe differs from build/launcher.exe")
endif()
message(STATUS "${zip}: ${entries}")
