# Target configuration file and board account tests (under Wine). Each case keeps its settings in a
# profile root of its own.
add_executable(loader_target_conf_test target_conf_test.cpp)
target_link_libraries(loader_target_conf_test PRIVATE tavi_core GTest::gtest_main)
add_project_gtest(loader_target_conf_test)
