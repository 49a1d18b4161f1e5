# Board dialogue tests under Wine: the codec and state machine (also run natively by the host tree), the
# PC address, and the real socket on port 6010 driven by a native board simulator over loopback.
add_executable(loader_dialogue_test board_message_test.cpp server_socket_test.cpp)
target_link_libraries(loader_dialogue_test PRIVATE tavi_core GTest::gtest_main)
add_project_gtest(loader_dialogue_test)

add_executable(loader_local_ip_test local_ip_test.cpp)
target_link_libraries(loader_local_ip_test PRIVATE tavi_core GTest::gtest_main)
add_project_gtest(loader_local_ip_test)

add_executable(dialogue_test_host dialogue_test_host.cpp)
target_link_libraries(dialogue_test_host PRIVATE tavi_core)
if(HOST_BUILD_DIR)
  # Ports 6010 and 6011 are fixed: the test runs in a network namespace of its own with its own wineserver.
  add_test(NAME loader_dialogue_wire
    COMMAND ${CMAKE_SOURCE_DIR}/tools/wine/wine-netns.sh ${CMAKE_BINARY_DIR}
            ${HOST_BUILD_DIR}/bin/dialogue_wire_test $<TARGET_FILE:dialogue_test_host>)
  set_tests_properties(loader_dialogue_wire PROPERTIES TIMEOUT 300)
endif()
