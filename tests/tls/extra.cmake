target_compile_definitions(test_tls PRIVATE VELDRUM_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                           VELDRUM_BINARY_DIR="${CMAKE_BINARY_DIR}")
# The program under test runs as a child process; dataselect's records are
# decoded with libmseed.
add_dependencies(test_tls veldrum stationsim)
target_link_libraries(test_tls PRIVATE mseed)
