# Runs at install time, from install.cmake: writes the desktop entry and installs it. The command
# is known only now, because `cmake --install --prefix` may move the bundle after configuring.
#
# In: TARVESSA_DESKTOP_TEMPLATE, TARVESSA_DESKTOP_OUTPUT (a scratch file in the build folder),
#     TARVESSA_DESKTOP_COMMAND (a command on PATH; empty: the bundle's own executable),
#     TARVESSA_DESKTOP_DESTINATION (relative to the install prefix, or absolute).

set(command "${TARVESSA_DESKTOP_COMMAND}")
if(command STREQUAL "")
    set(command "${CMAKE_INSTALL_PREFIX}/bin/TarvessaAudioServer")
endif()

# Exec takes a quoted argument with \ " ` $ escaped and % doubled; the value as a whole is then a
# desktop entry string, whose own escape doubles every backslash. So any prefix survives,
# spaces included. A plain path stays unquoted, as people write it.
string(REPLACE "\\" "\\\\" quoted "${command}")
string(REPLACE "\"" "\\\"" quoted "${quoted}")
string(REPLACE "`" "\\`" quoted "${quoted}")
string(REPLACE "$" "\\$" quoted "${quoted}")
string(REPLACE "%" "%%" quoted "${quoted}")
if(command MATCHES "^[A-Za-z0-9/._+-]+$")
    set(TARVESSA_DESKTOP_EXEC "${command}")
else()
    string(REPLACE "\\" "\\\\" TARVESSA_DESKTOP_EXEC "\"${quoted}\"")
endif()
# TryExec is a plain string: only its backslashes are escaped.
string(REPLACE "\\" "\\\\" TARVESSA_DESKTOP_TRY_EXEC "${command}")

configure_file("${TARVESSA_DESKTOP_TEMPLATE}" "${TARVESSA_DESKTOP_OUTPUT}" @ONLY)

set(destination "${TARVESSA_DESKTOP_DESTINATION}")
if(NOT IS_ABSOLUTE "${destination}")
    set(destination "${CMAKE_INSTALL_PREFIX}/${destination}")
endif()
# file(INSTALL) honours DESTDIR and records the file in the install manifest.
file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${TARVESSA_DESKTOP_OUTPUT}")
