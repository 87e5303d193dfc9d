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
