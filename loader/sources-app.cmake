# Application framework, texts and languages, start-up and settings, outside servers, delivery, boot folder.
target_sources(tavi_core PRIVATE
  framework/Profile.cpp
  framework/RegKey.cpp
)
