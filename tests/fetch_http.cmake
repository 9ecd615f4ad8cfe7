# SPDX-License-Identifier: GPL-2.0-or-later
# Page fetches through the real transport against the test web server: natively through
# libcurl (one CTest test per case), and under Wine through WinINet (one test in all).
include(${CMAKE_CURRENT_LIST_DIR}/server/test_server.cmake)

add_executable(fetch_http_tests ${CMAKE_CURRENT_LIST_DIR}/fetch_http_test.cpp)
target_link_libraries(fetch_http_tests PRIVATE morvek_core ${MORVEK_GTEST_MAIN})
morvek_warnings(fetch_http_tests)

morvek_test_server(fetch "${CMAKE_CURRENT_LIST_DIR}/fetch_pages")

# Proxy variables point nowhere: WinINet must connect directly all the same, and libcurl
# takes http_proxy in lower case only (the console program's proxies: tests/cli, case proxy).
if(WIN32)
  set(FETCH_HTTP_ENVIRONMENT
      "http_proxy=http://127.0.0.1:1/" "HTTP_PROXY=http://127.0.0.1:1/" "all_proxy=http://127.0.0.1:1/")
else()
  set(FETCH_HTTP_ENVIRONMENT "HTTP_PROXY=http://127.0.0.1:1/" "http_proxy=" "all_proxy=")
endif()

if(WIN32)
  morvek_add_served_test(NAME fetch_http_tests_wine SERVER fetch COMMAND fetch_http_tests --gtest_brief=0)
  set_tests_properties(fetch_http_tests_wine PROPERTIES
                       ENVIRONMENT "${FETCH_HTTP_ENVIRONMENT}" TIMEOUT 300)
else()
  # Each case runs as its own process; they find the port in the server's port file.
  list(APPEND FETCH_HTTP_ENVIRONMENT "MORVEK_TEST_PORT_FILE=${MORVEK_SERVER_PORT_FILE_fetch}"
       "MORVEK_TEST_FILE_ADDRESS=file://${CMAKE_CURRENT_LIST_DIR}/fetch_pages/bytes.bin")
  gtest_discover_tests(fetch_http_tests DISCOVERY_MODE PRE_TEST TEST_PREFIX "http." TEST_LIST fetch_http_cases
    PROPERTIES FIXTURES_REQUIRED server_fetch TIMEOUT 120)
  # gtest_discover_tests cannot pass a list-valued property through, so the environment is
  # set by a script that CTest runs after the discovery.
  file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/fetch_http_environment.cmake"
       "set_tests_properties(\${fetch_http_cases} PROPERTIES ENVIRONMENT \"${FETCH_HTTP_ENVIRONMENT}\")\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${CMAKE_CURRENT_BINARY_DIR}/fetch_http_environment.cmake")
endif()
