# Windows test programs run under Wine: CTest prefixes them with the emulator.
qel_add_wine_fixture()
add_test(NAME unit COMMAND unit_tests)
# Every test program gets a time-out: one that hangs fails instead of holding up the run.
set_tests_properties(unit PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600)

add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/tools ${CMAKE_BINARY_DIR}/tests/tools)
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/bench ${CMAKE_BINARY_DIR}/tests/bench)

# Windows-only unit tests: the Windows API in-process, under Wine.
add_executable(win_tests
  unit/test_main.cpp
  unit/log_capture.cpp
  win/win_test_util.cpp
  win/data_root_test.cpp
  win/data_folder_test.cpp
  win/files_test.cpp
  win/service_log_test.cpp
  win/pipe_instance_test.cpp
  win/win_error_test.cpp
  win/sandbox_config_test.cpp
  win/child_process_test.cpp
  win/sandbox_lifecycle_test.cpp
)
target_include_directories(win_tests PRIVATE unit win)
target_link_libraries(win_tests PRIVATE qel_service qel_tool_handles GTest::gtest)
target_precompile_headers(win_tests REUSE_FROM qel_common)
add_dependencies(win_tests fake-singbox singbox-lookup-probe)
add_test(NAME win COMMAND win_tests)
set_tests_properties(win PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600)

# Session-token and admission tests: they run against the wtsapi32 double, which Wine loads
# instead of its own wtsapi32 from beside the test program under the DLL override.
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/doubles/wtsapi32 ${CMAKE_BINARY_DIR}/tests/doubles/wtsapi32)
add_executable(win_auth_tests
  unit/test_main.cpp
  unit/log_capture.cpp
  win/win_test_util.cpp
  win/wts_double.cpp
  win/token_file_fixture.cpp
  win/wts_double_test.cpp
  win/token_file_test.cpp
  win/token_refresh_win_test.cpp
  win/console_session_test.cpp
  win/session_refresh_test.cpp
)
target_include_directories(win_auth_tests PRIVATE unit win doubles/wtsapi32)
target_link_libraries(win_auth_tests PRIVATE qel_service qel_tool_handles GTest::gtest)
target_precompile_headers(win_auth_tests REUSE_FROM qel_common)
add_dependencies(win_auth_tests wtsapi32_double)
add_test(NAME win_auth COMMAND win_auth_tests)
set_tests_properties(win_auth PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600
  ENVIRONMENT "WINEDLLOVERRIDES=wtsapi32=n")
# Kill-switch tests in-process under Wine, against the fwpuclnt.dll double beside them.
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/doubles/fwpuclnt ${CMAKE_BINARY_DIR}/tests/doubles/fwpuclnt)
add_executable(wfp_tests
  unit/test_main.cpp
  unit/log_capture.cpp
  win/win_test_util.cpp
  win/fwp_double.cpp
  win/wfp_fixture.cpp
  win/wfp_engine_test.cpp
  win/wfp_filter_set_test.cpp
  win/wfp_engage_failure_test.cpp
  win/wfp_controller_test.cpp
  win/wfp_leftovers_test.cpp
  win/wfp_record_file_test.cpp
  win/dispatcher_test.cpp
)
target_include_directories(wfp_tests PRIVATE unit win)
target_link_libraries(wfp_tests PRIVATE qel_service fwpuclnt_double_state qel_tool_handles GTest::gtest)
target_precompile_headers(wfp_tests REUSE_FROM qel_common)
add_dependencies(wfp_tests fwpuclnt_double)
add_test(NAME wfp COMMAND wfp_tests)
set_tests_properties(wfp PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600
  ENVIRONMENT "WINEDLLOVERRIDES=fwpuclnt=n")
