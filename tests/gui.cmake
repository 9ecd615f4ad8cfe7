# SPDX-License-Identifier: GPL-2.0-or-later
# GUI tests of the window program under Wine and Xvfb, Windows build only: a copy of the program
# that harvests the loopback test server on port 18765, a driver that inspects and drives its
# window, and a recorder that stands in for the programs a clicked link may start.
if(NOT WIN32)
  return()
endif()

# The port is the harness's, so that the test build and the harness cannot disagree.
file(STRINGS "${CMAKE_CURRENT_SOURCE_DIR}/gui/harness.py" port_line REGEX "^PORT = [0-9]+")
string(REGEX MATCH "[0-9]+" MORVEK_GUI_TEST_PORT "${port_line}")
set(MORVEK_GUI_TEST_SITE "http://127.0.0.1:${MORVEK_GUI_TEST_PORT}/")

add_executable(gui_driver "${CMAKE_CURRENT_SOURCE_DIR}/gui/gui_driver.cpp")
# The driver takes the window title, control numbers and status words from the program.
target_link_libraries(gui_driver PRIVATE morvek_core user32)
morvek_warnings(gui_driver)

add_executable(gui_recorder WIN32 "${CMAKE_CURRENT_SOURCE_DIR}/gui/gui_recorder.cpp")
morvek_warnings(gui_recorder)

# Until the window program can be built as a second copy, the GUI tests report themselves
# skipped (exit code 77) because the program they test is absent.
if(COMMAND morvek_add_window_program)
  morvek_add_window_program(morvek_gui_test "${MORVEK_GUI_TEST_SITE}")
  set(gui_program "$<TARGET_FILE:morvek_gui_test>")
else()
  set(gui_program "${CMAKE_BINARY_DIR}/morvek_gui_test.exe")
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(gui_harness "${CMAKE_CURRENT_SOURCE_DIR}/gui/run_gui_tests.py")
execute_process(COMMAND "${Python3_EXECUTABLE}" "${gui_harness}" --list
                OUTPUT_VARIABLE gui_tests OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${gui_harness}"
             "${CMAKE_CURRENT_SOURCE_DIR}/gui/harness.py")
string(REPLACE "\n" ";" gui_tests "${gui_tests}")

foreach(test IN LISTS gui_tests)
  add_test(NAME gui_${test}
           COMMAND "${Python3_EXECUTABLE}" "${gui_harness}" "${test}"
                   --build-dir "${CMAKE_BINARY_DIR}"
                   --program "${gui_program}" --driver "$<TARGET_FILE:gui_driver>"
                   --recorder "$<TARGET_FILE:gui_recorder>" --cli "$<TARGET_FILE:morvek-cli>")
  # One port and one display for all of them: never two at once.
  set_tests_properties(gui_${test} PROPERTIES RUN_SERIAL TRUE TIMEOUT 300 SKIP_RETURN_CODE 77
                       LABELS gui)
endforeach()
