# SPDX-License-Identifier: GPL-2.0-or-later
# The window program's own tests: its pure decisions on every platform, and on Windows also
# the window itself (layout, details panel, events), run under Wine.
set(WINDOW_UNIT_SOURCES "${PROJECT_SOURCE_DIR}/ui/win32/window_rules_test.cpp")
if(WIN32)
  list(APPEND WINDOW_UNIT_SOURCES ${MORVEK_WIN_UI_SOURCES}
       "${PROJECT_SOURCE_DIR}/ui/win32/main_window_win_test.cpp"
       "${PROJECT_SOURCE_DIR}/ui/win32/resources_win_test.cpp")
else()
  list(APPEND WINDOW_UNIT_SOURCES "${PROJECT_SOURCE_DIR}/ui/win32/window_rules.cpp")
endif()

add_executable(window_unit_tests ${WINDOW_UNIT_SOURCES})
target_link_libraries(window_unit_tests PRIVATE morvek_core ${MORVEK_GTEST_MAIN})
morvek_warnings(window_unit_tests)

if(WIN32)
  target_link_libraries(window_unit_tests PRIVATE comctl32 gdi32 user32 shell32 version)
  target_compile_definitions(window_unit_tests PRIVATE "MORVEK_WINDOW_PROGRAM=\"$<TARGET_FILE:morvek>\"")
  add_dependencies(window_unit_tests morvek)
  # The window tests need a display (xvfb-run); without one they skip.
  add_test(NAME window_unit_tests_wine COMMAND window_unit_tests --gtest_brief=0)
else()
  gtest_discover_tests(window_unit_tests DISCOVERY_MODE PRE_TEST)
endif()
