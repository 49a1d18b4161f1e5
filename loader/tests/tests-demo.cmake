# The installation demo's technician, which drives Tavi.exe through its windows, and the demo itself as
# a test: one new-style delivery installed end to end on a simulated board (tools/demo/demo.sh).
add_executable(technician technician.cpp)
target_link_libraries(technician PRIVATE tavi_app_fixture)
if(HOST_BUILD_DIR AND (NOT DELIVERABLES OR "nfs_server" IN_LIST DELIVERABLES))
  add_dependencies(technician Tavi Seldrix language_en standin_bootpdesk standin_tftpdesk)
  add_test(NAME installation_demo
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/demo_test.sh ${HOST_BUILD_DIR} ${CMAKE_BINARY_DIR}
            ${CMAKE_BINARY_DIR}/artifacts/demo)
  set_tests_properties(installation_demo PROPERTIES TIMEOUT 400
    FAIL_REGULAR_EXPRESSION "FAILED at;RESULT: failed;FAIL ")
  add_test(NAME installation_demo_refusals
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/demo_refusal_test.sh ${HOST_BUILD_DIR} ${CMAKE_BINARY_DIR})
  set_tests_properties(installation_demo_refusals PROPERTIES TIMEOUT 120)
endif()
