# The stream check (Linux build only): its unit tests, and morvek-cli check against test
# servers the driver starts on 127.0.0.1 (HTTP media made with ffmpeg, wrappers, faults, RTSP).
if(WIN32)
  # The Windows morvek-cli has no check and must say so (the exit code is 2 then).
  add_test(NAME check_unavailable_wine COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:morvek-cli> check)
  set_tests_properties(check_unavailable_wine PROPERTIES
                       PASS_REGULAR_EXPRESSION "not available in the Windows build")
  return()
endif()

file(GLOB CHECK_TEST_SOURCES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/check/*_test.cpp")
add_executable(morvek_check_tests ${CHECK_TEST_SOURCES})
target_link_libraries(morvek_check_tests PRIVATE morvek_check ${MORVEK_GTEST_MAIN})
morvek_warnings(morvek_check_tests)
gtest_discover_tests(morvek_check_tests DISCOVERY_MODE PRE_TEST)

# A name lookup that stalls (LD_PRELOAD), for the check's time limit.
add_library(stall_resolver MODULE "${CMAKE_CURRENT_SOURCE_DIR}/check/stall_resolver.c")
target_link_libraries(stall_resolver PRIVATE ${CMAKE_DL_LIBS})

find_package(Python3 REQUIRED COMPONENTS Interpreter)
foreach(case verdicts rtsp rtmp per_host ctrl_c many harvest_then_check options stop_while_writing
             closed_stdout program_lookup terminal_progress hostile playlist page_text left_behind)
  add_test(NAME check_${case}
           COMMAND ${Python3_EXECUTABLE} "${CMAKE_CURRENT_SOURCE_DIR}/check/check_test.py"
                   --case ${case} --stall-resolver $<TARGET_FILE:stall_resolver>
                   -- $<TARGET_FILE:morvek-cli>)
  set_tests_properties(check_${case} PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()
