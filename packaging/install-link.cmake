# Runs at install time, from install.cmake: creates one symbolic link in the installed tree.
# install() has no rule for a link to a file outside the build, so it is made here, under
# DESTDIR like every other installed file, and recorded in the install manifest.
#
# In: TARVESSA_LINK (the link; relative to the install prefix, or absolute),
#     TARVESSA_LINK_TARGET (what it points to; a relative path is taken under the install prefix,
#     so a link can point into the bundle wherever the bundle is installed),
#     TARVESSA_LINK_RELATIVE (optional, true: the link holds the target's path relative to the
#     link's folder, which leads to the same file once installed).

set(tarvessa_link "${TARVESSA_LINK}")
if(NOT IS_ABSOLUTE "${tarvessa_link}")
    set(tarvessa_link "${CMAKE_INSTALL_PREFIX}/${tarvessa_link}")
endif()
set(tarvessa_link_target "${TARVESSA_LINK_TARGET}")
if(NOT IS_ABSOLUTE "${tarvessa_link_target}")
    set(tarvessa_link_target "${CMAKE_INSTALL_PREFIX}/${tarvessa_link_target}")
endif()
get_filename_component(tarvessa_link_folder "${tarvessa_link}" DIRECTORY)
if(TARVESSA_LINK_RELATIVE)
    file(RELATIVE_PATH tarvessa_link_target "${tarvessa_link_folder}" "${tarvessa_link_target}")
endif()
set(tarvessa_link "$ENV{DESTDIR}${tarvessa_link}")
set(tarvessa_link_folder "$ENV{DESTDIR}${tarvessa_link_folder}")
file(MAKE_DIRECTORY "${tarvessa_link_folder}")
message(STATUS "Installing: ${tarvessa_link} -> ${tarvessa_link_target}")
file(CREATE_LINK "${tarvessa_link_target}" "${tarvessa_link}" SYMBOLIC)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${tarvessa_link}")
# Every install(CODE) runs in one scope: the next link starts from nothing.
unset(TARVESSA_LINK)
unset(TARVESSA_LINK_TARGET)
unset(TARVESSA_LINK_RELATIVE)
