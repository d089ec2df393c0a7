# The two-identity access matrix: an installed store set up as root, then
# every export and every write of the tools tried by an ordinary account
# (tests/access/access_matrix_test.sh). Linux only; it needs root (CI runs as
# root) and is skipped otherwise. Not in the sanitizer build: it tests the
# library and tools as shipped.
if(NOT WIN32 AND NOT AMBERCRYPT_SANITIZE)
  add_executable(access_host ${CMAKE_CURRENT_LIST_DIR}/access_host.c)
  target_include_directories(access_host PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_link_libraries(access_host PRIVATE OpenSSL::Crypto ${CMAKE_DL_LIBS})
  target_compile_options(access_host PRIVATE ${AMBERCRYPT_WARNINGS})
  add_dependencies(access_host ambercrypt ambercrypt-admin ambercrypt-reg)
  add_test(NAME access_matrix_test
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/access_matrix_test.sh $<TARGET_FILE:ambercrypt> $<TARGET_FILE:access_host>
                   $<TARGET_FILE:ambercrypt-admin> $<TARGET_FILE:ambercrypt-reg> ${CMAKE_CURRENT_SOURCE_DIR}/data)
  set_tests_properties(access_matrix_test PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()
