# Compile options shared by every target of the project.
function(framelet_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(FRAMELET_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(FRAMELET_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
