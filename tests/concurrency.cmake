# Concurrency: the exports from many threads of one process (thread_test), and
# many processes of two applications with an administrator (stress_test;
# scripts/stress.sh runs it at full size).
find_package(Threads REQUIRED)
ambercrypt_test(thread_test thread_test.cc)
target_link_libraries(thread_test PRIVATE ambercrypt_verifier Threads::Threads)
