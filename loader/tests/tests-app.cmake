# Application, texts and settings tests (under Wine).
add_executable(loader_profile_test profile_test.cpp)
target_link_libraries(loader_profile_test PRIVATE tavi_core GTest::gtest_main)
add_project_gtest(loader_profile_test)
