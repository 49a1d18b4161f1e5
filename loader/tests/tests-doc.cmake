# The document, its ".tav" file and the installation steps (under Wine). The document tests start the
# application in the stand-ins' folder, with the English language module beside it: they hold
# TaviStandinRoot.
add_executable(loader_tav_file_test tav_file_test.cpp)
target_link_libraries(loader_tav_file_test PRIVATE tavi_core GTest::gtest_main)
add_project_gtest(loader_tav_file_test)

add_executable(loader_document_test document_test.cpp wizard_test.cpp ${TAVI_RESOURCES})
target_link_libraries(loader_document_test PRIVATE tavi_app_fixture tavi_delivery_fixture GTest::gtest_main)
set_target_properties(loader_document_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TAVI_STANDIN_ROOT})
target_compile_definitions(loader_document_test PRIVATE TAVI_ARTIFACTS="Z:${CMAKE_BINARY_DIR}/artifacts/")
add_custom_command(TARGET loader_document_test POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:language_en> ${TAVI_STANDIN_ROOT}/)
add_dependencies(loader_document_test standin_bootpdesk standin_tftpdesk standin_Seldrix language_en)
add_project_gtest(loader_document_test PROPERTIES RESOURCE_LOCK TaviStandinRoot TIMEOUT 300)

# Tavi.exe answering a simulated board on UDP 6010, in a network namespace of its own.
if(HOST_BUILD_DIR)
  add_test(NAME loader_tavi_wire
    COMMAND ${CMAKE_SOURCE_DIR}/tools/wine/wine-netns.sh ${CMAKE_BINARY_DIR}
            ${HOST_BUILD_DIR}/bin/tavi_wire_test $<TARGET_FILE:Tavi> $<TARGET_FILE:tavi_probe>)
  set_tests_properties(loader_tavi_wire PROPERTIES TIMEOUT 300)
endif()

# One road from outside: Tavi.exe driven through the window probe, a board by boardsim, the delivery served
# by the real Seldrix.exe and read back with nfs-ls, in a network namespace of its own.
add_executable(tavi_probe tavi_probe.cpp WindowProbe.cpp)
target_link_libraries(tavi_probe PRIVATE comctl32 gdi32)
if(HOST_BUILD_DIR AND (NOT DELIVERABLES OR "nfs_server" IN_LIST DELIVERABLES))
  add_test(NAME loader_road
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/road_test.sh ${CMAKE_BINARY_DIR} $<TARGET_FILE:Tavi> $<TARGET_FILE:tavi_probe>
            ${HOST_BUILD_DIR}/bin/boardsim ${TAVI_STANDIN_ROOT})
  set_tests_properties(loader_road PROPERTIES TIMEOUT 300 FAIL_REGULAR_EXPRESSION "FAIL ")
endif()

# The delivery's copy into a full boot folder: the wizard case runs with its boot folder on a small file
# system of its own (the same case skips itself elsewhere).
add_test(NAME loader_full_boot_folder
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/full_disk_test.sh ${CMAKE_BINARY_DIR} $<TARGET_FILE:loader_document_test>)
set_tests_properties(loader_full_boot_folder PROPERTIES TIMEOUT 300 RESOURCE_LOCK TaviStandinRoot
  FAIL_REGULAR_EXPRESSION "SKIPPED|FAILED|Unhandled exception|Unhandled page fault")
