# The document, its ".tav" file and the installation steps (under Wine). The document tests start the
# application beside the language modules and the outside servers' stand-ins from their folder: they
# hold TaviStandinRoot.
add_executable(loader_tav_file_test tav_file_test.cpp)
target_link_libraries(loader_tav_file_test PRIVATE tavi_core GTest::gtest_main)
add_project_gtest(loader_tav_file_test)

add_executable(loader_document_test document_test.cpp ${TAVI_RESOURCES})
target_link_libraries(loader_document_test PRIVATE tavi_app_fixture tavi_delivery_fixture GTest::gtest_main)
target_compile_definitions(loader_document_test PRIVATE TAVI_STANDINS="Z:${TAVI_STANDIN_ROOT}/")
add_dependencies(loader_document_test standin_bootpdesk standin_tftpdesk standin_Seldrix language_en)
add_project_gtest(loader_document_test PROPERTIES RESOURCE_LOCK TaviStandinRoot)
