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

# The BIOS update runs the gzip and server stand-ins from its own folder, as Tavi.exe runs the real ones
# from its folder; it rewrites the servers' machine key and the stand-ins' boot folder.
add_executable(loader_bios_test bios_test.cpp ${TAVI_RESOURCES})
target_link_libraries(loader_bios_test PRIVATE tavi_app_fixture tavi_delivery_fixture z GTest::gtest_main)
set_target_properties(loader_bios_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TAVI_STANDIN_ROOT})
add_dependencies(loader_bios_test standin_bootpdesk standin_tftpdesk standin_gzip)
add_project_gtest(loader_bios_test PROPERTIES RESOURCE_LOCK TaviStandinRoot)

# The BIOS update reached from Tavi.exe's menu. Tavi.exe ends "Seldrix.exe" at exit, so it runs under the lock
# of the tests that start the stand-in one.
add_executable(loader_bios_menu_test bios_menu_test.cpp)
target_link_libraries(loader_bios_menu_test PRIVATE tavi_app_fixture GTest::gtest_main)
add_dependencies(loader_bios_menu_test Tavi)
add_project_gtest(loader_bios_menu_test PROPERTIES RESOURCE_LOCK TaviStandinRoot)
