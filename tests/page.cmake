# serve's web page in headless Chromium (tests/serve/page_test.py): against a stand-in server of
# serve's endpoints, and against morvek-cli serve over streams on the test server. Screenshots at
# desktop and phone widths are kept in page-shots/ and page-shots-fixture/ of the build folder.
# Selenium is Debian's (python3-selenium), so the system's Python runs them; without it they
# are skipped.
if(WIN32 OR NOT TARGET morvek_serve)
  return()
endif()
find_program(MORVEK_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT MORVEK_SYSTEM_PYTHON)
  set(MORVEK_SYSTEM_PYTHON ${Python3_EXECUTABLE})
endif()
set(PAGE_TEST "${CMAKE_CURRENT_SOURCE_DIR}/serve/page_test.py")
add_test(NAME page_fixture COMMAND ${MORVEK_SYSTEM_PYTHON} "${PAGE_TEST}" --fixture "${PROJECT_SOURCE_DIR}/serve/web"
                                   --shots "${CMAKE_BINARY_DIR}/page-shots-fixture")
add_test(NAME page_serve COMMAND ${MORVEK_SYSTEM_PYTHON} "${PAGE_TEST}" --serve $<TARGET_FILE:morvek-cli>
                                 --shots "${CMAKE_BINARY_DIR}/page-shots")
set_tests_properties(page_fixture page_serve PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
