target_compile_definitions(test_browser PRIVATE VELDRUM_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                               VELDRUM_BINARY_DIR="${CMAKE_BINARY_DIR}")
# The system page test runs the programs as child processes.
add_dependencies(test_browser veldrum stationsim)
