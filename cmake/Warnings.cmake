# Warnings are errors on both compilers. Do not add exceptions here; fix the code.
function(hov_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
