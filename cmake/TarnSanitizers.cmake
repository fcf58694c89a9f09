# Sanitizers apply to every target so the library, the simulator and the tests agree.
if(TARN_SANITIZE)
  string(REPLACE ";" "," _tarn_sanitizers "${TARN_SANITIZE}")
  add_compile_options(-fsanitize=${_tarn_sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_tarn_sanitizers})
endif()
