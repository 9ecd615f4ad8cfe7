# SPDX-License-Identifier: GPL-2.0-or-later
# serve's web page in headless Chromium (tests/serve/page_test.py) against morvek-cli serve over
# streams on the test server; screenshots at desktop and phone widths are kept in page-shots/ of
# the build folder. Selenium is Debian's (python3-selenium), so the system's Python runs it;
# without it the test is skipped.
if(WIN32 OR NOT TARGET morvek_serve)
  return()
endif()
find_program(MORVEK_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT MORVEK_SYSTEM_PYTHON)
  set(MORVEK_SYSTEM_PYTHON ${Python3_EXECUTABLE})
endif()
add_test(NAME page_serve COMMAND ${MORVEK_SYSTEM_PYTHON} "${CMAKE_CURRENT_SOURCE_DIR}/serve/page_test.py"
                                 $<TARGET_FILE:morvek-cli> "${CMAKE_BINARY_DIR}/page-shots")
set_tests_properties(page_serve PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77 LABELS browser)
