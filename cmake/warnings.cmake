# SPDX-License-Identifier: GPL-2.0-or-later
# The warning set every Morvek target compiles with; warnings are errors.
function(morvek_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-qual -Wformat=2 -Wmissing-declarations
    -Wnon-virtual-dtor -Wold-style-cast -Wundef -Werror)
endfunction()
