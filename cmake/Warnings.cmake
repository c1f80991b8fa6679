# Our own targets build with every common warning as an error; third-party headers are
# included as system headers and stay out of it.
function(tqv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()
