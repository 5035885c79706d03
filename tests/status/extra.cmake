target_compile_definitions(test_status PRIVATE VELDRUM_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
