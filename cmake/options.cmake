# Compile options shared by every target of the project.
function(framelet_warnings target)
  # C and C++ only: the resource compiler takes no warning options.
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra>)
  if(FRAMELET_WERROR)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:-Werror>)
  endif()
endfunction()

if(FRAMELET_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# Races between the batch's workers and in what they share. It cannot be
# combined with the address sanitizer: each takes the shadow memory for itself.
if(FRAMELET_SANITIZE_THREAD)
  if(FRAMELET_SANITIZE OR FRAMELET_FUZZ)
    message(FATAL_ERROR "FRAMELET_SANITIZE_THREAD cannot be combined with FRAMELET_SANITIZE or FRAMELET_FUZZ")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# Fuzz builds (clang): every target is instrumented for libFuzzer and the
# sanitizers; the fuzz targets link the fuzzer's own main.
if(FRAMELET_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
  # The colour conversion's pixel loops: tracing their comparisons guides no
  # mutation, yet it was most of the BMP target's time.
  set_source_files_properties(core/color_reducer.cpp PROPERTIES COMPILE_OPTIONS -fno-sanitize-coverage=trace-cmp)
endif()
