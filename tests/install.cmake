# SPDX-License-Identifier: GPL-2.0-or-later
# What the Linux build installs: the manual (checked by mandoc), the bash and zsh completions
# against --help, and the tree of `cmake --install` with its programs run from there. The
# packages themselves are tested by scripts/test.sh after scripts/package.sh.
if(WIN32)
  return()
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)
foreach(case manual completions installed)
  add_test(NAME install_${case}
           COMMAND ${Python3_EXECUTABLE} "${CMAKE_CURRENT_SOURCE_DIR}/install/install_test.py"
                   --case ${case} --build "${CMAKE_BINARY_DIR}")
  set_tests_properties(install_${case} PROPERTIES TIMEOUT 120)
endforeach()
