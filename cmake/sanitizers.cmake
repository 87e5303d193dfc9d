# Sanitizer and fuzzing instrumentation, applied per target so that test-only
# helpers (the CNG stand-in) stay plain.

# AddressSanitizer and UndefinedBehaviorSanitizer; any finding aborts the run.
set(QOX_SANITIZER_FLAGS
    -fsanitize=address,undefined
    -fno-sanitize-recover=all
    -fno-omit-frame-pointer)

# Instruments `target` for the sanitizer build (QOX_SANITIZE=ON).
function(qox_sanitize target)
  if(QOX_SANITIZE)
    target_compile_options(${target} PRIVATE ${QOX_SANITIZER_FLAGS})
    target_link_options(${target} PRIVATE ${QOX_SANITIZER_FLAGS})
  endif()
endfunction()

# Coverage feedback plus the same sanitizers for code a fuzzer links.
function(qox_instrument_for_fuzzing target)
  target_compile_options(${target} PRIVATE
      -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer -g)
endfunction()

# A libFuzzer executable from `sources`, linked with the engine.
function(qox_add_fuzzer name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE qox_aes)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests/fuzz)
  target_compile_options(${name} PRIVATE
      -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
endfunction()
