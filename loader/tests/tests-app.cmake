# Application, texts and settings tests (under Wine).
# Tests that start the application (in this process or as Tavi.exe) share the window class "TaviApp" and
# the loader's registry keys, and the document's end stops whatever "Seldrix.exe" runs: they hold the
# resource lock TaviStandinRoot with the tests of the outside servers.
add_library(tavi_app_fixture STATIC AppFixture.cpp WindowProbe.cpp)
target_link_libraries(tavi_app_fixture PUBLIC tavi_core)

add_executable(loader_profile_test profile_test.cpp)
target_link_libraries(loader_profile_test PRIVATE tavi_core GTest::gtest_main)
add_project_gtest(loader_profile_test)

add_executable(loader_texts_test texts_test.cpp ${TAVI_RESOURCES})
target_link_libraries(loader_texts_test PRIVATE tavi_core GTest::gtest_main)
add_project_gtest(loader_texts_test)

add_executable(loader_language_test language_test.cpp ${TAVI_RESOURCES})
target_link_libraries(loader_language_test PRIVATE tavi_app_fixture GTest::gtest_main)
add_dependencies(loader_language_test language_en language_fr language_es)
add_project_gtest(loader_language_test PROPERTIES RESOURCE_LOCK TaviStandinRoot)

file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/artifacts)
add_executable(loader_startup_test startup_test.cpp)
target_link_libraries(loader_startup_test PRIVATE tavi_app_fixture GTest::gtest_main)
target_compile_definitions(loader_startup_test PRIVATE
  TAVI_SCREENSHOT="Z:${CMAKE_BINARY_DIR}/artifacts/tavi-main.bmp")
add_dependencies(loader_startup_test Tavi language_en)
add_project_gtest(loader_startup_test PROPERTIES RESOURCE_LOCK TaviStandinRoot)

# Delivery reading, boot folder and outside servers. The tests that touch files beside the program or the
# servers' registry keys run from the stand-ins' folder (where "Seldrix.exe" is the stand-in) and hold
# the resource lock TaviStandinRoot.
add_executable(loader_delivery_parse_test delivery_parse_test.cpp)
target_link_libraries(loader_delivery_parse_test PRIVATE tavi_core GTest::gtest_main)
add_project_gtest(loader_delivery_parse_test)

add_library(tavi_delivery_fixture STATIC DeliveryFixture.cpp)
foreach(test delivery servers)
  add_executable(loader_${test}_test ${test}_test.cpp ${TAVI_RESOURCES})
  target_link_libraries(loader_${test}_test PRIVATE tavi_app_fixture tavi_delivery_fixture GTest::gtest_main)
  set_target_properties(loader_${test}_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TAVI_STANDIN_ROOT})
  add_dependencies(loader_${test}_test standin_bootpdesk standin_tftpdesk standin_Seldrix)
  add_project_gtest(loader_${test}_test PROPERTIES RESOURCE_LOCK TaviStandinRoot)
endforeach()

# Serving a folder through the real Seldrix.exe (built beside Tavi.exe) to a real NFS client, in a network
# namespace of its own for the fixed ports.
if(NOT DELIVERABLES OR "nfs_server" IN_LIST DELIVERABLES)
  add_executable(loader_serve_helper serve_helper.cpp)
  target_link_libraries(loader_serve_helper PRIVATE tavi_core)
  add_dependencies(loader_serve_helper Seldrix)
  add_test(NAME loader_serve_delivery
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/serve_test.sh ${CMAKE_BINARY_DIR} $<TARGET_FILE:loader_serve_helper>)
  set_tests_properties(loader_serve_delivery PROPERTIES TIMEOUT 300 FAIL_REGULAR_EXPRESSION "FAIL ")
endif()
