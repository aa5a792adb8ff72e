# End-to-end tests: a Linux program that drives the cross build's qel-agent.exe and its
# test programs under Wine. They share one prefix and the pipe name, so they run one at a time.
add_executable(e2e_tests
  e2e/harness.cpp
  e2e/cli_test.cpp
  e2e/console_test.cpp
  e2e/data_folder_test.cpp
  e2e/pipe_test.cpp
  e2e/service_test.cpp
  e2e/protocol_test.cpp
  e2e/tokens_test.cpp
  e2e/sandbox_test.cpp
  e2e/kill_switch_test.cpp
  e2e/load_test.cpp
)
target_compile_definitions(e2e_tests PRIVATE
  QEL_E2E_WIN_BIN_DIR="${QEL_WINDOWS_BIN_DIR}"
  QEL_E2E_WINEPREFIX="${QEL_WINEPREFIX}"
  QEL_E2E_WINE="${QEL_WINE}")
target_link_libraries(e2e_tests PRIVATE GTest::gtest_main Threads::Threads)
target_compile_options(e2e_tests PRIVATE -Wall -Wextra)

qel_add_wine_fixture()
include(GoogleTest)
gtest_discover_tests(e2e_tests
  PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK wine_agent TIMEOUT 300
  DISCOVERY_TIMEOUT 30)
