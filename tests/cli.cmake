# SPDX-License-Identifier: GPL-2.0-or-later
# morvek-cli against the test web server: the sample directory's channel file, stops by
# signal, an unreadable index page, a failed save, bad options, and the same result for
# every number of jobs. The Windows build runs
# the channel file case through Wine (WinINet); signals are POSIX-only cases.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(MORVEK_CLI_DRIVER "${CMAKE_CURRENT_SOURCE_DIR}/cli/cli_test.py")
set(MORVEK_CLI_ARGS
    --fixture "${PROJECT_SOURCE_DIR}/tests/fixtures/sample-channels.dat"
    --site-root "${PROJECT_SOURCE_DIR}/sample-site")

if(WIN32)
  set(MORVEK_CLI_CASES golden bad_option exports utf8 html_text page_reports jobs_agree_sample proxy silent_server)
  set(MORVEK_CLI_PROGRAM ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:morvek-cli>)
else()
  set(MORVEK_CLI_CASES golden site_without_slash details quiet nothing_found page_reports country
      save_failure bad_option proxy exports utf8 closed_stdout live_line playlist_in_player silent_server
      sigint_during_country_page sigint_before_many_links sigterm_during_index_page jobs_agree_sample jobs_agree_generated
      hostile_pages unusual_targets failed_stdout hangup_during_save separator_in_field html_text out_of_memory)
  set(MORVEK_CLI_PROGRAM $<TARGET_FILE:morvek-cli>)
endif()

foreach(case IN LISTS MORVEK_CLI_CASES)
  add_test(NAME cli_${case}
           COMMAND ${Python3_EXECUTABLE} "${MORVEK_CLI_DRIVER}" --case ${case} ${MORVEK_CLI_ARGS}
                   -- ${MORVEK_CLI_PROGRAM})
  set_tests_properties(cli_${case} PROPERTIES TIMEOUT 300)
endforeach()
