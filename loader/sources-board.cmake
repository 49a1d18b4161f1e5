# Board dialogue: messages, sessions and step allowances over UDP; the framework's asynchronous socket
# and timer.
target_sources(tavi_core PRIVATE
  BoardMessage.cpp
  ServerSocket.cpp
  LocalIpAddress.cpp
  framework/AsyncSocket.cpp
  framework/MessageWindow.cpp
  framework/ProfileSettings.cpp
  framework/Timer.cpp
)
