# Target configuration file and the board's Windows account.
target_sources(tavi_core PRIVATE
  AccountManage.cpp
  TargetConf.cpp
)
target_link_libraries(tavi_core PUBLIC netapi32)
