# dravik_add_test(<name> SOURCES a_test.cpp ... LIBS lib1 lib2 ... [LABELS l] [TIMEOUT s])
# One test executable per unit; registered with CTest under its own name.
function(dravik_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  # The host's tag database and its log library both export a table named
  # FuncTable, which is how the host defines them; AddressSanitizer would
  # report that as a one-definition violation.
  if(DRAVIKNET_SANITIZE STREQUAL "address")
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT
                 "ASAN_OPTIONS=detect_odr_violation=0:detect_leaks=1:abort_on_error=0")
  endif()
  # Cross builds run every test, and every program a test starts, under the
  # user-mode emulator; it finds the target's libraries through this prefix.
  if(CMAKE_CROSSCOMPILING AND DRAVIKNET_QEMU_LD_PREFIX)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "QEMU_LD_PREFIX=${DRAVIKNET_QEMU_LD_PREFIX}")
  endif()
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
