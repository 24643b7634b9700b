# Assembles <build>/bundle in the installed layout, so the application runs from the build
# folder exactly as it runs when installed: Info.json, bin/, and Resources/ with the server,
# its runtime and the helpers.
set(TARVESSA_SERVER_DIR "${TARVESSA_STAND_IN_SERVER_DIR}" CACHE PATH
    "Folder holding the server's entry script index.js and its files")
find_program(TARVESSA_NODE_RUNTIME node DOC "The Node.js runtime the bundle links to")
if(NOT TARVESSA_NODE_RUNTIME)
    message(WARNING "node was not found: the demo bundle will have no runtime")
    set(TARVESSA_NODE_RUNTIME /usr/bin/node)
endif()

set(TARVESSA_BUNDLE_DIR ${CMAKE_BINARY_DIR}/bundle)
set(resources ${TARVESSA_BUNDLE_DIR}/Resources)
set(bundle_commands
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TARVESSA_BUNDLE_DIR}/bin
        ${resources}/app/build/server ${resources}/runtime/bin ${resources}/helpers
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_CURRENT_SOURCE_DIR}/packaging/Info.json
        ${TARVESSA_BUNDLE_DIR}/Info.json
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:TarvessaAudioServer>
        ${TARVESSA_BUNDLE_DIR}/bin/TarvessaAudioServer
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${TARVESSA_SERVER_DIR}
        ${resources}/app/build/server
    COMMAND ${CMAKE_COMMAND} -E remove -f ${resources}/app/build/server/CMakeLists.txt
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${TARVESSA_NODE_RUNTIME} ${resources}/runtime/bin/node)
set(bundle_depends TarvessaAudioServer)
if(TARGET TarvessaFolderPicker)
    list(APPEND bundle_commands
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:TarvessaFolderPicker>
            ${resources}/helpers/TarvessaFolderPicker)
    list(APPEND bundle_depends TarvessaFolderPicker)
endif()
add_custom_target(bundle ALL ${bundle_commands} DEPENDS ${bundle_depends}
    COMMENT "Assembling the demo bundle in ${TARVESSA_BUNDLE_DIR}" VERBATIM)
