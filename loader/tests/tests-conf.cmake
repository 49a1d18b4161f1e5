# Target configuration file and board account tests (under Wine). Each case keeps its settings in a
# profile root of its own.
add_executable(loader_target_conf_test target_conf_test.cpp)
target_link_libraries(loader_target_conf_test PRIVATE tavi_core GTest::gtest_main)
add_project_gtest(loader_target_conf_test)

# The account's settings live in the loader's machine key, which the server tests rewrite: both hold the
# resource lock TaviStandinRoot.
add_executable(loader_account_test account_test.cpp)
target_link_libraries(loader_account_test PRIVATE tavi_app_fixture GTest::gtest_main)
add_project_gtest(loader_account_test PROPERTIES RESOURCE_LOCK TaviStandinRoot)
