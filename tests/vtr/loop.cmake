# Time values, timers, the event loop, the dispatcher and the socket wait.
nyx_add_gtest(NAME vtr_loop_test LIBS vtr SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_timer.cpp
              ${CMAKE_CURRENT_LIST_DIR}/test_event_loop.cpp)
