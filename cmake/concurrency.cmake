# ThreadSanitizer build (clang): -DAMBERCRYPT_TSAN=ON, in a build directory of
# its own (build/tsan); scripts/test.sh builds and runs only thread_test there.
option(AMBERCRYPT_TSAN "Build with ThreadSanitizer (for thread_test)" OFF)
if(AMBERCRYPT_TSAN)
  if(AMBERCRYPT_SANITIZE)
    message(FATAL_ERROR "AMBERCRYPT_TSAN and AMBERCRYPT_SANITIZE cannot be combined")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
