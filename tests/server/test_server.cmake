# SPDX-License-Identifier: GPL-2.0-or-later
# CTest helpers around the test web server (tests/server/test_server.py).
#
#   morvek_test_server(NAME ROOT [server options...])
#     adds the fixture "server_<NAME>": a setup test that starts the server on a free port
#     (state in ${CMAKE_BINARY_DIR}/servers/<NAME>.port|.pid|.log) and a cleanup test that
#     stops it. Tests join it with the property FIXTURES_REQUIRED server_<NAME>.
#
#   morvek_add_served_test(NAME <test> SERVER <name> COMMAND <target or program> [args...])
#     adds a test that runs the command with MORVEK_TEST_PORT=<port> in its environment and
#     every "@PORT@" in its arguments replaced by the port; a target runs through the
#     cross-compiling emulator (Wine) when there is one. It requires the server's fixture.
#
# Tests that cannot be wrapped (gtest_discover_tests) can read the port from the file named
# by MORVEK_SERVER_PORT_FILE_<NAME> (a variable this file sets) instead.
include_guard(GLOBAL)

set(MORVEK_SERVE "${CMAKE_CURRENT_LIST_DIR}/serve.sh")
set(MORVEK_SERVER_DIR "${CMAKE_BINARY_DIR}/servers")

function(morvek_test_server name root)
  add_test(NAME server_${name}_start
           COMMAND "${MORVEK_SERVE}" --dir "${MORVEK_SERVER_DIR}" start ${name} "${root}" ${ARGN})
  add_test(NAME server_${name}_stop
           COMMAND "${MORVEK_SERVE}" --dir "${MORVEK_SERVER_DIR}" stop ${name})
  set_tests_properties(server_${name}_start PROPERTIES FIXTURES_SETUP server_${name})
  set_tests_properties(server_${name}_stop PROPERTIES FIXTURES_CLEANUP server_${name})
  set(MORVEK_SERVER_PORT_FILE_${name} "${MORVEK_SERVER_DIR}/${name}.port" PARENT_SCOPE)
endfunction()

function(morvek_add_served_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;SERVER" "COMMAND")
  list(POP_FRONT arg_COMMAND program)
  if(TARGET ${program})
    set(program $<TARGET_FILE:${program}>)
    if(CMAKE_CROSSCOMPILING_EMULATOR)
      set(program ${CMAKE_CROSSCOMPILING_EMULATOR} ${program})
    endif()
  endif()
  add_test(NAME ${arg_NAME}
           COMMAND "${MORVEK_SERVE}" --dir "${MORVEK_SERVER_DIR}" run ${arg_SERVER}
                   ${program} ${arg_COMMAND})
  set_tests_properties(${arg_NAME} PROPERTIES FIXTURES_REQUIRED server_${arg_SERVER})
endfunction()
