# tallyrun_add_test(NAME SOURCES file... LIBRARIES lib... [DRIVER script])
# Builds one GoogleTest executable for an area and registers it as one CTest test. Wine
# takes a while to start, so a test is an executable, not a single case. With DRIVER, the
# test is that bash script, called with the executable's path and the Wine runner; it is
# for tests that need Linux programs next to the Windows one.
set(TALLYRUN_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix the tests run in")

function(tallyrun_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "DRIVER" "SOURCES;LIBRARIES")
  # Linked as a source, not from the support library, so its static set-up is never left out.
  add_executable(${name} ${ARG_SOURCES} ${CMAKE_SOURCE_DIR}/tests/support/code_page_paths.cpp)
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} tallyrun_test_support GTest::gtest_main)
  tallyrun_warnings(${name})
  if(ARG_DRIVER)
    add_test(NAME ${name} COMMAND bash ${ARG_DRIVER} $<TARGET_FILE:${name}>
                                  ${CMAKE_CROSSCOMPILING_EMULATOR})
  else()
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT 600
    ENVIRONMENT "WINEPREFIX=${TALLYRUN_WINEPREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
endfunction()
