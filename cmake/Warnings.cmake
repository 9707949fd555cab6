# One warning set for every target, with warnings as errors.
function(quorvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -pedantic -Wshadow -Werror)
endfunction()
