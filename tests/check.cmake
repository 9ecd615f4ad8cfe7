# SPDX-License-Identifier: GPL-2.0-or-later
# The stream check: its unit tests, and morvek-cli check against test servers the driver starts
# on 127.0.0.1 (HTTP media made with ffmpeg, wrappers, faults, RTSP, RTMP). The Windows build
# runs them under Wine too, less the terminal case (Wine's console draws in a pty in its own
# way). Wine turns SIGINT into Ctrl-C for the one process it is sent to, where a Windows
# console gives Ctrl-C to every process on it: the Ctrl-C case runs morvek-check.exe itself.
# Wine runs a Ctrl-C handler on a thread it starts for the event, which can take longer than
# writing the outputs, so the case that stops the check between its summary and its outputs
# is left out. The 200-stream case is left out too: under Wine 8 a new thread now and then
# does not start for seconds (a plain std::thread program shows it too); the check keeps its
# threads for the next probe, but one of the first ones may still end as "no answer".
# bench/check_jobs.py runs those streams under Wine.
if(WIN32 AND NOT TARGET morvek-check)
  # Built without the check's libraries, morvek-cli.exe must say that morvek-check.exe is missing.
  add_test(NAME check_missing_wine COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:morvek-cli> check)
  set_tests_properties(check_missing_wine PROPERTIES
                       PASS_REGULAR_EXPRESSION "needs morvek-check, which is missing")
  return()
endif()

file(GLOB CHECK_TEST_SOURCES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/check/*_test.cpp")
list(FILTER CHECK_TEST_SOURCES EXCLUDE REGEX "${MORVEK_SKIP_TEST_SUFFIXES}")
add_executable(morvek_check_tests ${CHECK_TEST_SOURCES})
target_link_libraries(morvek_check_tests PRIVATE morvek_check ${MORVEK_GTEST_MAIN})
morvek_warnings(morvek_check_tests)
if(WIN32)
  add_test(NAME check_unit_tests_wine COMMAND morvek_check_tests --gtest_brief=0)
else()
  gtest_discover_tests(morvek_check_tests DISCOVERY_MODE PRE_TEST)
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(WIN32)
  set(CHECK_CASES verdicts rtsp rtmp per_host harvest_then_check options closed_stdout
                  program_lookup hostile playlist page_text foreign_bytes lists)
  set(CHECK_DRIVER_ARGS -- ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:morvek-cli>)
  set(CHECK_SUFFIX _wine)
  set(CHECK_TIMEOUT 300)
  foreach(case ctrl_c)
    add_test(NAME check_${case}_wine
             COMMAND ${Python3_EXECUTABLE} "${CMAKE_CURRENT_SOURCE_DIR}/check/check_test.py" --case ${case}
                     -- ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:morvek-check>)
    set_tests_properties(check_${case}_wine PROPERTIES TIMEOUT 120)
  endforeach()
else()
  set(CHECK_TIMEOUT 120)
  # A name lookup that stalls (LD_PRELOAD), for the check's time limit.
  add_library(stall_resolver MODULE "${CMAKE_CURRENT_SOURCE_DIR}/check/stall_resolver.c")
  target_link_libraries(stall_resolver PRIVATE ${CMAKE_DL_LIBS})
  set(CHECK_CASES verdicts rtsp rtmp per_host ctrl_c many harvest_then_check options
                  stop_while_writing closed_stdout program_lookup terminal_progress hostile playlist
                  page_text left_behind plays foreign_bytes pictures lookup_inside_timeout lists)
  set(CHECK_DRIVER_ARGS --stall-resolver $<TARGET_FILE:stall_resolver> -- $<TARGET_FILE:morvek-cli>)
  set(CHECK_SUFFIX "")
endif()
foreach(case IN LISTS CHECK_CASES)
  add_test(NAME check_${case}${CHECK_SUFFIX}
           COMMAND ${Python3_EXECUTABLE} "${CMAKE_CURRENT_SOURCE_DIR}/check/check_test.py"
                   --case ${case} ${CHECK_DRIVER_ARGS})
  # Under Wine each run of the program costs a second or more to start: the options case runs
  # it for each of its refused command lines, some thirty times.
  set_tests_properties(check_${case}${CHECK_SUFFIX} PROPERTIES TIMEOUT ${CHECK_TIMEOUT} SKIP_RETURN_CODE 77)
endforeach()
