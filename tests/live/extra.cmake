target_compile_definitions(test_live PRIVATE VELDRUM_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                            VELDRUM_BINARY_DIR="${CMAKE_BINARY_DIR}")
# The SeedLink tests run the programs and decode what they serve with libmseed.
add_dependencies(test_live veldrum-test stationsim)
target_link_libraries(test_live PRIVATE mseed PkgConfig::HTTPLIB)
