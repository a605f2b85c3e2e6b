# Test helpers shared by every layer's tests.
#
# nyx_add_gtest(NAME name SOURCES ... LIBS ... [LABELS ...] [PORT8899])
#   One GoogleTest executable, run as one CTest test. Its per-case results land in
#   ${NYX_GTEST_XML_DIR}/<name>.xml, which tools/test.sh counts.
#   PORT8899: the test binds or talks to the fixed manager port. Such tests never run
#   side by side (resource lock) and, as root on Linux, each gets a private network
#   namespace.
#   LABELS threaded: also built and run under ThreadSanitizer.

set(NYX_GTEST_XML_DIR ${CMAKE_BINARY_DIR}/gtest-xml)
file(MAKE_DIRECTORY ${NYX_GTEST_XML_DIR})
# What the test program itself is told: under wine the Linux root is drive Z:.
set(NYX_GTEST_XML_ARG ${NYX_GTEST_XML_DIR})
if(WIN32)
  set(NYX_GTEST_XML_ARG Z:${NYX_GTEST_XML_DIR})
endif()

if(WIN32)
  # Debian's googletest ships its sources; the cross build compiles them.
  if(NOT TARGET gtest)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    target_compile_options(gtest PRIVATE -Wno-error)
    target_compile_options(gtest_main PRIVATE -Wno-error)
  endif()
  set(NYX_GTEST_LIBS gtest gtest_main)
else()
  find_package(GTest REQUIRED)
  set(NYX_GTEST_LIBS GTest::gtest GTest::gtest_main)
endif()

function(nyx_add_gtest)
  cmake_parse_arguments(T "PORT8899" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NYX_SANITIZE STREQUAL "tsan" AND NOT "threaded" IN_LIST T_LABELS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ${NYX_GTEST_LIBS})
  # Naming the target (not its file) lets CTest put the cross emulator (wine) in front.
  set(cmd ${T_NAME} --gtest_output=xml:${NYX_GTEST_XML_ARG}/${T_NAME}.xml)
  if(T_PORT8899)
    set(cmd ${CMAKE_SOURCE_DIR}/tools/netns-run ${CMAKE_CROSSCOMPILING_EMULATOR}
            $<TARGET_FILE:${T_NAME}> --gtest_output=xml:${NYX_GTEST_XML_ARG}/${T_NAME}.xml)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${cmd})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "gtest;${T_LABELS}" TIMEOUT 300)
  if(T_PORT8899)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK port8899)
  endif()
endfunction()
