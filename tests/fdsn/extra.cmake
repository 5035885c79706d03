target_compile_definitions(test_fdsn PRIVATE VELDRUM_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                            VELDRUM_BINARY_DIR="${CMAKE_BINARY_DIR}")
# The programs under test run as child processes; records are read with libmseed.
add_dependencies(test_fdsn veldrum stationsim)
target_link_libraries(test_fdsn PRIVATE mseed)
# The services are tested behind the server that registers them.
target_link_libraries(test_fdsn PRIVATE veldrum_shell)
