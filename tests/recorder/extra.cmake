target_compile_definitions(test_recorder PRIVATE VELDRUM_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
