# ThreadSanitizer for every target. Our code is instrumented; Qt and GLib are not, and they hand
# memory and event-loop wake-ups between their threads under futex-based locks TSan cannot see.
# So TSan is told to ignore what uninstrumented libraries do through its interceptors; every
# access our own code makes is still checked. The options are built into each executable
# (tsan_default_options.cpp), because the end-to-end test starts the application with an
# environment of its own; TSAN_OPTIONS at run time are added to them. None needs suppressions.
if(TARVESSA_SANITIZE)
    message(FATAL_ERROR "TARVESSA_TSAN and TARVESSA_SANITIZE exclude each other: use two build folders")
endif()
set(tarvessa_tsan_options "ignore_noninstrumented_modules=1 second_deadlock_stack=1")
add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
add_link_options(-fsanitize=thread)
add_library(tarvessa_tsan_options OBJECT ${CMAKE_CURRENT_LIST_DIR}/tsan_default_options.cpp)
set_target_properties(tarvessa_tsan_options PROPERTIES AUTOMOC OFF)
target_compile_definitions(tarvessa_tsan_options PRIVATE
    TARVESSA_TSAN_OPTIONS="${tarvessa_tsan_options}")
# Every executable made from here on carries the options.
link_libraries($<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:tarvessa_tsan_options>)
