# Time values, timers, the event loop, the dispatcher and the socket wait.
nyx_add_gtest(NAME vtr_time_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_time.cpp LIBS vtr)
nyx_add_gtest(NAME vtr_timer_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_timer.cpp LIBS vtr)
nyx_add_gtest(NAME vtr_event_loop_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_event_loop.cpp
              LIBS vtr)
nyx_add_gtest(NAME vtr_socket_wait_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_socket_wait.cpp
              LIBS vtr)
