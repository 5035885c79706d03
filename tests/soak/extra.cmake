target_compile_definitions(test_soak PRIVATE VELDRUM_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                            VELDRUM_BINARY_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(test_soak veldrum stationsim)
