# Target configuration file, the board's Windows account and the BIOS update.
target_sources(tavi_core PRIVATE
  AccountManage.cpp
  TargetConf.cpp
  TaviBios.cpp
)
target_link_libraries(tavi_core PUBLIC netapi32)
