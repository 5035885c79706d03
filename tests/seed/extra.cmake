# Records are checked against libmseed, an independent reader of the format.
target_link_libraries(test_seed PRIVATE mseed)
if(TARGET lissdump)
  add_dependencies(test_seed lissdump)
  target_compile_definitions(test_seed PRIVATE LISSDUMP_PATH="$<TARGET_FILE:lissdump>")
endif()
