target_compile_definitions(test_system PRIVATE VELDRUM_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                              VELDRUM_BINARY_DIR="${CMAKE_BINARY_DIR}")
# The programs under test run as child processes.
add_dependencies(test_system veldrum stationsim lissdump)
# The LISS tests decode the served records with libmseed.
target_link_libraries(test_system PRIVATE mseed)
