# Makes the deployer's packages and checks what each holds:
#   cmake -DBUILD_DIR=... -DVERSION=... -P checkPackage.cmake
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target package
    RESULT_VARIABLE built OUTPUT_QUIET)
if(NOT built EQUAL 0)
    message(FATAL_ERROR "the package target failed")
endif()

# The sorted entries of an archive (files only) or, for the .deb, of its data.
function(package_entries out package)
    if(package MATCHES "\\.deb$")
        execute_process(COMMAND dpkg-deb --fsys-tarfile ${package} COMMAND tar tf -
            OUTPUT_VARIABLE listing RESULT_VARIABLE listed)
    else()
        execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${package}
            OUTPUT_VARIABLE listing RESULT_VARIABLE listed)
    endif()
    if(NOT listed EQUAL 0)
        message(FATAL_ERROR "cannot read ${package}")
    endif()
    string(REPLACE "\n" ";" entries "${listing}")
    list(FILTER entries EXCLUDE REGEX "(^$|/$)")
    list(SORT entries)
    set(${out} ${entries} PARENT_SCOPE)
endfunction()

# `file` must hold exactly `expected`, its launcher at `launcher` and its
# tool at `tool` the same as the build's.
function(check_package file expected launcher tool)
    package_entries(entries ${BUILD_DIR}/${file})
    if(NOT entries STREQUAL expected)
        message(FATAL_ERROR "${file} holds [${entries}], expected [${expected}]")
    endif()
    set(unpacked ${BUILD_DIR}/package-check)
    file(REMOVE_RECURSE ${unpacked})
    file(MAKE_DIRECTORY ${unpacked})
    if(file MATCHES "\\.deb$")
        execute_process(COMMAND dpkg-deb -x ${BUILD_DIR}/${file} ${unpacked})
    else()
        execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${BUILD_DIR}/${file}
            WORKING_DIRECTORY ${unpacked})
    endif()
    # The packaged programs are the stripped ones the build made.
    get_filename_component(tool_name ${tool} NAME)
    foreach(check "${launcher}>launcher.exe" "${tool}>${tool_name}")
        string(REPLACE ">" ";" check "${check}")
        list(GET check 0 packed)
        list(GET check 1 built)
        file(SHA256 ${unpacked}/${packed} packed_sum)
        file(SHA256 ${BUILD_DIR}/${built} built_sum)
        if(NOT packed_sum STREQUAL built_sum)
            message(FATAL_ERROR "${packed} in ${file} differs from build/${built}")
        endif()
    endforeach()
    message(STATUS "${file}: ${entries}")
endfunction()

set(docs Acme.toml configuration.md deployer-guide.md launchertool.md)
check_package(launcher-${VERSION}-win32.zip
    "Acme.toml;LICENSE;configuration.md;deployer-guide.md;launcher.exe;launchertool.exe;launchertool.md"
    launcher.exe launchertool.exe)
set(top launchertool-${VERSION}-linux-x86_64)
set(expected ${docs} LICENSE launcher.exe launchertool)
list(TRANSFORM expected PREPEND ${top}/)
list(SORT expected)
check_package(${top}.tar.gz "${expected}" ${top}/launcher.exe ${top}/launchertool)
set(expected ${docs} changelog.gz copyright)
list(TRANSFORM expected PREPEND ./usr/share/doc/launchertool/)
list(APPEND expected ./usr/bin/launchertool ./usr/share/launcher/launcher.exe
    ./usr/share/lintian/overrides/launchertool ./usr/share/man/man1/launchertool.1.gz)
list(SORT expected)
check_package(launchertool_${VERSION}_amd64.deb "${expected}"
    ./usr/share/launcher/launcher.exe ./usr/bin/launchertool)

# The .deb as Debian's own checker sees it: no error and no warning. The
# override for the static link is part of the package and counts as such.
execute_process(COMMAND lintian --fail-on error,warning ${BUILD_DIR}/launchertool_${VERSION}_amd64.deb
    OUTPUT_VARIABLE findings ERROR_VARIABLE findings RESULT_VARIABLE linted)
if(NOT linted EQUAL 0)
    message(FATAL_ERROR "lintian finds fault with the .deb:\n${findings}")
endif()
