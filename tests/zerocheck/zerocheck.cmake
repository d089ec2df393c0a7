# The zeroing check (zerocheck.h), in the Linux build without sanitizers (they
# bring an allocator of their own): linked into every test program and into a
# copy of ambercrypt-admin that admin_tool_test drives. Idle unless
# AMBERCRYPT_ZEROCHECK=1 is in the environment (scripts/test.sh sets it for
# the Linux test run).
if(NOT WIN32 AND NOT AMBERCRYPT_SANITIZE AND NOT AMBERCRYPT_TSAN AND NOT AMBERCRYPT_FUZZ)
  add_library(ambercrypt_zerocheck OBJECT ${CMAKE_CURRENT_LIST_DIR}/zerocheck.c)
  target_include_directories(ambercrypt_zerocheck INTERFACE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_options(ambercrypt_zerocheck PRIVATE ${AMBERCRYPT_WARNINGS})
  # The secrets' backtraces name functions of the program too.
  target_link_options(ambercrypt_zerocheck INTERFACE -rdynamic)

  # ambercrypt-admin as shipped, with the check: its secrets come from
  # AMBERCRYPT_ZEROCHECK_SECRETS, which admin_tool_test sets.
  add_executable(ambercrypt-admin-zerocheck $<TARGET_OBJECTS:ambercrypt_admin_objects>)
  target_link_libraries(ambercrypt-admin-zerocheck PRIVATE ambercrypt_adminlib ambercrypt_tool_platform
                        ambercrypt_zerocheck)
  set(AMBERCRYPT_ADMIN_UNDER_TEST ambercrypt-admin-zerocheck)
  # ambercrypt-demo too (its host copy, Scanner, then loads the library into a
  # checked process), watching the demo's administrator password, secret key
  # and response key.
  add_executable(ambercrypt-demo-zerocheck ${PROJECT_SOURCE_DIR}/tools/demo.cc)
  target_include_directories(ambercrypt-demo-zerocheck PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_link_libraries(ambercrypt-demo-zerocheck PRIVATE ambercrypt_platform ${CMAKE_DL_LIBS} ambercrypt_zerocheck)
  target_compile_options(ambercrypt-demo-zerocheck PRIVATE ${AMBERCRYPT_WARNINGS})
  set(AMBERCRYPT_DEMO_UNDER_TEST ambercrypt-demo-zerocheck)
  set(AMBERCRYPT_DEMO_ENVIRONMENT "AMBERCRYPT_ZEROCHECK_SECRETS=Admin-Passw0rd\nDemoSecret2026\nDemo response key")
  set(AMBERCRYPT_ZEROCHECK_TEST ON)
else()
  set(AMBERCRYPT_ADMIN_UNDER_TEST ambercrypt-admin)
  set(AMBERCRYPT_DEMO_UNDER_TEST ambercrypt-demo)
  set(AMBERCRYPT_DEMO_ENVIRONMENT "")
endif()

# Links the check into a program when this build has it.
function(ambercrypt_zerocheck target)
  if(TARGET ambercrypt_zerocheck)
    target_link_libraries(${target} PRIVATE ambercrypt_zerocheck)
  endif()
endfunction()

# The check's own test and the library's roads that carry secrets (after
# ambercrypt_test is defined).
macro(ambercrypt_zerocheck_tests)
  if(AMBERCRYPT_ZEROCHECK_TEST)
    ambercrypt_test(zerocheck_test ${CMAKE_CURRENT_SOURCE_DIR}/zerocheck/zerocheck_test.cc)
    target_link_libraries(zerocheck_test PRIVATE ambercrypt_verifier)
  endif()
endmacro()
