add_test(NAME shell_stop_by_signal
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/stop_test.sh $<TARGET_FILE:veldrum>
                 $<TARGET_FILE:stationsim>)
# Five stops of about 4 s each, with the session's set-up between them.
set_tests_properties(shell_stop_by_signal PROPERTIES TIMEOUT 120)
