# The decoder's samples are followed into the stream registry.
target_link_libraries(test_link PRIVATE veldrum_seed)
