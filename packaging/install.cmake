# How the application is installed and packaged.
#
# `cmake --install` lays the bundle out with CMAKE_INSTALL_PREFIX as the bundle's root, exactly as
# <build>/bundle is laid out: Info.json, bin/TarvessaAudioServer, Resources/app/build/server/,
# Resources/runtime/bin/node, Resources/helpers/. The executable finds everything else from its
# own path, so the bundle can be installed anywhere. Next to it go the desktop entry and the icon:
# under <prefix>/share, or with TARVESSA_PACKAGE=ON under /usr/share, where desktops look for
# them, together with the command /usr/bin/tarvessa-audio-server.
#
# The package's system-wide files have absolute destinations, so the package is staged with
# DESTDIR (CPACK_SET_DESTDIR): CPack installs the bundle and the /usr files into one staging
# root, and a manual `DESTDIR=<root> cmake --install` shows exactly what the package holds.

option(TARVESSA_PACKAGE
    "Install as the Debian package does: desktop entry and icon in /usr/share, a /usr/bin command, the runtime linked to Debian's /usr/bin/node"
    OFF)
set(TARVESSA_NODE_RUNTIME_MODE link CACHE STRING
    "How the installed bundle carries its Node.js runtime: link (a symbolic link to TARVESSA_NODE_RUNTIME) or copy (the file itself, for a self-contained bundle)")
set_property(CACHE TARVESSA_NODE_RUNTIME_MODE PROPERTY STRINGS link copy)
set(TARVESSA_PACKAGE_MAINTAINER "Tarvessa Audio Server maintainers <maintainers@tarvessa.io>"
    CACHE STRING "The Debian package's Maintainer field")

# A bundle is one folder of its own; spread over /usr/local it would mix with other software.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX /opt/tarvessa-audio-server CACHE PATH
        "The installed bundle's root folder" FORCE)
endif()

if(NOT EXISTS "${TARVESSA_SERVER_DIR}/index.js")
    message(FATAL_ERROR
        "TARVESSA_SERVER_DIR is ${TARVESSA_SERVER_DIR}, which has no index.js: point it at the "
        "folder holding the server's entry script.")
endif()
if(NOT TARVESSA_NODE_RUNTIME_MODE MATCHES "^(link|copy)$")
    message(FATAL_ERROR "TARVESSA_NODE_RUNTIME_MODE is \"${TARVESSA_NODE_RUNTIME_MODE}\": use link or copy.")
endif()

set(tarvessa_app_id io.tarvessa.tarvessa-audio-server)

# The bundle. bin/TarvessaAudioServer and Resources/helpers/ come from the targets' own
# install rules in app/ and folder-picker/.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/Info.json DESTINATION .)
if(TARVESSA_SERVER_DIR STREQUAL TARVESSA_STAND_IN_SERVER_DIR)
    # The stand-in's build file is not part of the server.
    install(DIRECTORY ${TARVESSA_SERVER_DIR}/ DESTINATION Resources/app/build/server
        USE_SOURCE_PERMISSIONS PATTERN CMakeLists.txt EXCLUDE)
else()
    install(DIRECTORY ${TARVESSA_SERVER_DIR}/ DESTINATION Resources/app/build/server
        USE_SOURCE_PERMISSIONS)
endif()

if(TARVESSA_NODE_RUNTIME_MODE STREQUAL copy)
    if(NOT EXISTS "${TARVESSA_NODE_RUNTIME}" OR IS_DIRECTORY "${TARVESSA_NODE_RUNTIME}")
        message(FATAL_ERROR "TARVESSA_NODE_RUNTIME (${TARVESSA_NODE_RUNTIME}) is not a file to copy.")
    endif()
    # The program itself, not a link that would dangle on another machine.
    file(REAL_PATH "${TARVESSA_NODE_RUNTIME}" tarvessa_runtime_file)
    install(PROGRAMS ${tarvessa_runtime_file} DESTINATION Resources/runtime/bin RENAME node)
else()
    set(tarvessa_runtime_relative FALSE)
    if(TARVESSA_PACKAGE)
        # The package depends on Debian's nodejs, whose node is always here, whatever node the
        # build machine happens to have first on its PATH. The link is absolute, as Debian wants
        # a link from one top-level folder to another; installed-size.cmake keeps the build
        # machine's node, which the staged link leads to, out of the Installed-Size.
        set(tarvessa_runtime_target /usr/bin/node)
        set(tarvessa_runtime_relative FALSE)
        if(NOT TARVESSA_NODE_RUNTIME STREQUAL tarvessa_runtime_target)
            message(STATUS "The package links its runtime to /usr/bin/node (from nodejs), not to "
                "${TARVESSA_NODE_RUNTIME}; TARVESSA_NODE_RUNTIME_MODE=copy ships that one instead.")
        endif()
    else()
        set(tarvessa_runtime_target ${TARVESSA_NODE_RUNTIME})
    endif()
    install(CODE "
        set(TARVESSA_LINK Resources/runtime/bin/node)
        set(TARVESSA_LINK_TARGET \"${tarvessa_runtime_target}\")
        set(TARVESSA_LINK_RELATIVE ${tarvessa_runtime_relative})
        include(\"${CMAKE_CURRENT_LIST_DIR}/install-link.cmake\")")
endif()

# The desktop entry, the icon and, for the package, the command on PATH.
if(TARVESSA_PACKAGE)
    set(tarvessa_share /usr/share)
    set(tarvessa_command tarvessa-audio-server)
else()
    set(tarvessa_share share)
    set(tarvessa_command "") # the bundle's executable, by its installed path
endif()
install(CODE "
    set(TARVESSA_DESKTOP_TEMPLATE \"${CMAKE_CURRENT_LIST_DIR}/${tarvessa_app_id}.desktop.in\")
    set(TARVESSA_DESKTOP_OUTPUT \"${CMAKE_BINARY_DIR}/packaging/${tarvessa_app_id}.desktop\")
    set(TARVESSA_DESKTOP_COMMAND \"${tarvessa_command}\")
    set(TARVESSA_DESKTOP_DESTINATION \"${tarvessa_share}/applications\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/install-desktop-entry.cmake\")")
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${tarvessa_app_id}.svg
    DESTINATION ${tarvessa_share}/icons/hicolor/scalable/apps)

# The same icon as PNGs at the hicolor sizes, rendered from the SVG at build time: Debian's Qt has
# no SVG image plugin, and some menus and docks take only pixmaps. rsvg-convert (librsvg2-bin)
# renders the one source exactly, so there is no second drawing to keep in step with it.
find_program(TARVESSA_RSVG_CONVERT rsvg-convert
    DOC "Renders the application icon's PNGs from its SVG (package librsvg2-bin)")
if(NOT TARVESSA_RSVG_CONVERT)
    message(FATAL_ERROR "rsvg-convert was not found: install librsvg2-bin (scripts/setup does).")
endif()
set(tarvessa_icon_pngs "")
foreach(size 16 22 24 32 48 64 128 256)
    set(png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/${tarvessa_app_id}.png)
    add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
        COMMAND ${TARVESSA_RSVG_CONVERT} --width ${size} --height ${size} --format png
            --output ${png} ${CMAKE_CURRENT_LIST_DIR}/${tarvessa_app_id}.svg
        DEPENDS ${CMAKE_CURRENT_LIST_DIR}/${tarvessa_app_id}.svg
        COMMENT "Rendering the ${size} px icon" VERBATIM)
    list(APPEND tarvessa_icon_pngs ${png})
    install(FILES ${png} DESTINATION ${tarvessa_share}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_target(icons ALL DEPENDS ${tarvessa_icon_pngs})

# The software-centre entry, tied to the desktop entry by its id, and the manual page.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${tarvessa_app_id}.metainfo.xml
    DESTINATION ${tarvessa_share}/metainfo)
# gzip -n: no name or time stamp inside, so the same page always packs to the same bytes.
set(tarvessa_manual ${CMAKE_BINARY_DIR}/packaging/tarvessa-audio-server.1.gz)
set(tarvessa_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${tarvessa_manual} ${tarvessa_changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND sh -c "gzip -9n <\"$0\" >\"$1\" && gzip -9n <\"$2\" >\"$3\""
        ${CMAKE_CURRENT_LIST_DIR}/tarvessa-audio-server.1 ${tarvessa_manual}
        ${CMAKE_CURRENT_LIST_DIR}/changelog ${tarvessa_changelog}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/tarvessa-audio-server.1 ${CMAKE_CURRENT_LIST_DIR}/changelog
    COMMENT "Compressing the manual page and the changelog" VERBATIM)
add_custom_target(manual ALL DEPENDS ${tarvessa_manual} ${tarvessa_changelog})
install(FILES ${tarvessa_manual} DESTINATION ${tarvessa_share}/man/man1)

if(NOT TARVESSA_PACKAGE)
    return()
endif()

# A link, not a copy or a wrapper: the executable finds its bundle from its real path.
install(CODE "
    set(TARVESSA_LINK /usr/bin/${tarvessa_command})
    set(TARVESSA_LINK_TARGET bin/TarvessaAudioServer)
    include(\"${CMAKE_CURRENT_LIST_DIR}/install-link.cmake\")")

# What Debian asks of every package: the copyright (machine-readable), the changelog, and the
# reasons for the rules of Debian's own archive that a vendor package does not follow.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${tarvessa_changelog}
    DESTINATION /usr/share/doc/${tarvessa_command})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
    DESTINATION /usr/share/lintian/overrides RENAME ${tarvessa_command})

# The Debian package: `cpack -G DEB` in a build configured with TARVESSA_PACKAGE=ON.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvessa-audio-server)
set(CPACK_PACKAGE_VENDOR "Tarvessa")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tray application that runs your own music server")
# Debian wraps a long description at 80 columns: one line each.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Tarvessa Audio Server runs a self-hosted music server on your own machine.\n"
    "It starts the server when you sign in or when you launch it, shows the\n"
    "server's state in the tray, opens its web interface in your browser, and\n"
    "stops it when you quit.")
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TARVESSA_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The Qt libraries and the C++ runtime as dpkg-shlibdeps finds them in the binaries, with the
# versions they need; the X11 platform plugin ships in libqt6gui6.
find_program(TARVESSA_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(TARVESSA_FILE file) # CPack finds the binaries with it
if(TARVESSA_DPKG_SHLIBDEPS AND TARVESSA_FILE)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(tarvessa_depends "")
else()
    message(WARNING "dpkg-shlibdeps or file (packages dpkg-dev, file) was not found: the "
        "package's library dependencies are listed by hand.")
    set(tarvessa_depends "libc6, libstdc++6, libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libqt6network6 (>= 6.4), libqt6dbus6 (>= 6.4), libxcb1")
endif()
if(TARVESSA_NODE_RUNTIME_MODE STREQUAL link)
    list(APPEND tarvessa_depends nodejs)
endif()
list(JOIN tarvessa_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# xdg-open opens the web interface; wl-copy puts the copied address on the clipboard of a
# Wayland session (sway, KDE), where Xwayland alone does not; the GNOME extension shows the tray
# icon. The application runs on X11, through Xwayland in a Wayland session: Qt's Wayland
# platform is wanted only in a session without Xwayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, wl-clipboard")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell-extension-appindicator, qt6-wayland")
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/installed-size.cmake)
include(CPack)
