# The soak, built with the tests so that it cannot rot: the real controller driven at random over
# real server processes (bench/soak runs it long; CTest runs a short one, label soak).
add_executable(bench_soak ${CMAKE_CURRENT_LIST_DIR}/soak.cpp)
target_link_libraries(bench_soak PRIVATE tarvessa_test_support)
set_target_properties(bench_soak PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_test(NAME soak COMMAND bench_soak --cycles 40 --seed 1)
set_tests_properties(soak PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;DBUS_SESSION_BUS_ADDRESS=disabled:"
    TIMEOUT 300
    LABELS soak)
