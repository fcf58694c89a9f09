# Compiler warnings shared by every target of the project.
add_library(tarn_warnings INTERFACE)
target_compile_options(tarn_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                               -Wno-sign-conversion)
if(TARN_WARNINGS_AS_ERRORS)
  target_compile_options(tarn_warnings INTERFACE -Werror)
endif()
