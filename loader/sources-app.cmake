# Application framework, texts and languages, start-up and settings, outside servers, delivery, boot folder.
target_sources(tavi_core PRIVATE
  framework/Dialog.cpp
  framework/ModalWait.cpp
  framework/DocView.cpp
  framework/Profile.cpp
  framework/PropertyPage.cpp
  framework/RegKey.cpp
  framework/WinApp.cpp
  framework/Wnd.cpp
  AboutDlg.cpp
  SplashDlg.cpp
  BootFolder.cpp
  Delivery.cpp
  ExtService.cpp
  LocalLoop.cpp
  MainFrm.cpp
  MyPages.cpp
  TaviApp.cpp
  TaviNewView.cpp
  TaviString.cpp
)
