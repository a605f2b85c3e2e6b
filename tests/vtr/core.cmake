# Errors, the formatter, logging, addresses and sockets.
nyx_add_gtest(NAME vtr_core_test LIBS vtr SOURCES
              ${CMAKE_CURRENT_LIST_DIR}/test_error.cpp ${CMAKE_CURRENT_LIST_DIR}/test_format.cpp
              ${CMAKE_CURRENT_LIST_DIR}/test_log.cpp ${CMAKE_CURRENT_LIST_DIR}/test_socket.cpp)
