# Concurrency: the exports from many threads of one process (thread_test), and
# many processes of two applications with an administrator (stress_test;
# scripts/stress.sh runs it at full size).
find_package(Threads REQUIRED)
ambercrypt_test(thread_test thread_test.cc)
target_link_libraries(thread_test PRIVATE ambercrypt_verifier Threads::Threads)
ambercrypt_test(stress_test stress_test.cc)
target_link_libraries(stress_test PRIVATE ambercrypt_verifier)
if(NOT WIN32)
  target_link_libraries(stress_test PRIVATE SQLite::SQLite3)
endif()
if(AMBERCRYPT_TSAN)
  set_tests_properties(thread_test PROPERTIES ENVIRONMENT
    "TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1 suppressions=${CMAKE_CURRENT_SOURCE_DIR}/tsan.supp")
endif()
