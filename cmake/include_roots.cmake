# tarvessa_include_root(target folder...) gives a library an include root of its own, in the
# build tree, that holds only the named source folders, each under its own name (a symbolic
# link). A file is then included as "<folder>/<file>.h" by whoever links the library, and a
# folder that does not link it cannot reach its headers at all: the layers hold by the build.
function(tarvessa_include_root target)
    set(root ${CMAKE_BINARY_DIR}/include/${target})
    file(REMOVE_RECURSE ${root})
    file(MAKE_DIRECTORY ${root})
    foreach(folder IN LISTS ARGN)
        cmake_path(ABSOLUTE_PATH folder BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
        cmake_path(GET folder FILENAME name)
        file(CREATE_LINK ${folder} ${root}/${name} SYMBOLIC)
    endforeach()
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
        target_include_directories(${target} INTERFACE ${root})
    else()
        target_include_directories(${target} PUBLIC ${root})
    endif()
endfunction()
