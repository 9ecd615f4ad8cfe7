# SPDX-License-Identifier: GPL-2.0-or-later
# serve: its unit tests, and `morvek-cli serve` against a site and a playlist on 127.0.0.1
# (tests/serve/serve_test.py, one case per test). Linux only: the Windows build has no serve.
if(WIN32 AND TARGET morvek-check)
  add_test(NAME serve_unavailable_wine
           COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:morvek-cli> serve)
  set_tests_properties(serve_unavailable_wine PROPERTIES
                       PASS_REGULAR_EXPRESSION "serve is not available in the Windows build")
endif()
if(WIN32 OR NOT TARGET morvek_serve)
  return()
endif()
file(GLOB SERVE_TEST_SOURCES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/serve/*_test.cpp")
# serve takes the command line's pieces (cli/) and the harvest's console front, as morvek-check does.
add_executable(morvek_serve_tests ${SERVE_TEST_SOURCES} ${CLI_SOURCES})
target_link_libraries(morvek_serve_tests PRIVATE morvek_serve ${MORVEK_GTEST_MAIN})
morvek_warnings(morvek_serve_tests)
gtest_discover_tests(morvek_serve_tests DISCOVERY_MODE PRE_TEST)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
foreach(case first_run requests hostile crowd restart forbidden stop_and_kill damaged unsized_list player)
  add_test(NAME serve_${case}
           COMMAND ${Python3_EXECUTABLE} "${CMAKE_CURRENT_SOURCE_DIR}/serve/serve_test.py"
                   --case ${case} -- $<TARGET_FILE:morvek-cli>)
  set_tests_properties(serve_${case} PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()
