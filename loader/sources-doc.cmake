# The document and its ".tav" file, the wizard sheet and its pages.
target_sources(tavi_core PRIVATE
  framework/Archive.cpp
  ProgressPages.cpp
  TavFile.cpp
  TaviDoc.cpp
  TaviWiz.cpp
  TaviWizMain.cpp
  TaviWizSecond.cpp
)
