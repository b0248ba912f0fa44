# voda_warnings(target): the project's warning set on one of its own targets.
function(voda_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           -Wcast-align -Wunused -Woverloaded-virtual -Wformat=2)
  if(VODA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
