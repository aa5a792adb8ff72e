# Windows programs run under Wine in a build-local prefix, with a persistent wineserver
# for the test run (the "wine" CTest fixture starts it, and stops it at the end).
set(QEL_WINE /usr/lib/wine/wine64)
set(QEL_WINESERVER /usr/lib/wine/wineserver)
set(QEL_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${QEL_WINE_RUN} @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
if(WIN32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEL_WINE_RUN})
endif()

function(qel_add_wine_fixture)
  add_test(NAME wine_start COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix start)
  add_test(NAME wine_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix stop)
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine
    ENVIRONMENT "WINEPREFIX=${QEL_WINEPREFIX}")
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine
    ENVIRONMENT "WINEPREFIX=${QEL_WINEPREFIX}")
endfunction()
