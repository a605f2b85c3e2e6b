# Errors, the formatter, logging, addresses and sockets.
nyx_add_gtest(NAME vtr_error_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_error.cpp LIBS vtr)
nyx_add_gtest(NAME vtr_format_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_format.cpp LIBS vtr)
nyx_add_gtest(NAME vtr_log_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_log.cpp LIBS vtr)
nyx_add_gtest(NAME vtr_socket_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_socket.cpp LIBS vtr)
