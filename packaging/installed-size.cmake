# Runs after `cpack -G DEB` (CPACK_POST_BUILD_SCRIPTS): sets each package's Installed-Size to what
# its own files take. CPack counts the file a staged link leads to, and the runtime link is
# absolute, as Debian wants a link from /opt to /usr: it would count the build machine's node
# (~90 MiB) into a package that holds only the link. The package is rebuilt with dpkg-deb from
# its own unpacked contents, so nothing else in it changes.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    if(NOT deb MATCHES "\\.deb$")
        continue()
    endif()
    set(tree "${deb}.tree")
    file(REMOVE_RECURSE "${tree}")
    execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
    # du counts a link as the link, as dpkg-gencontrol does.
    execute_process(COMMAND du -sk --exclude=DEBIAN "${tree}"
        OUTPUT_VARIABLE usage COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCH "^[0-9]+" kib "${usage}")
    file(READ "${tree}/DEBIAN/control" control)
    string(REGEX REPLACE "Installed-Size: [0-9]+" "Installed-Size: ${kib}" control "${control}")
    file(WRITE "${tree}/DEBIAN/control" "${control}")
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b "${tree}" "${deb}"
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${tree}")
    message(STATUS "Installed-Size of ${deb}: ${kib} KiB")
endforeach()
