# `format` rewrites the tracked C++ files with clang-format and the committed .clang-format;
# `format-check` only reports what it would change, and fails then.
find_program(TARVESSA_CLANG_FORMAT clang-format)
if(TARVESSA_CLANG_FORMAT)
    set(tarvessa_tracked_sources "git ls-files -z -- '*.cpp' '*.h' | xargs -0 ${TARVESSA_CLANG_FORMAT}")
    add_custom_target(format COMMAND sh -c "${tarvessa_tracked_sources} -i"
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} VERBATIM)
    add_custom_target(format-check COMMAND sh -c "${tarvessa_tracked_sources} --dry-run --Werror"
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} VERBATIM)
endif()
