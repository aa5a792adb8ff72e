# Windows programs run under Wine in a build-local prefix, with a persistent wineserver
# for the test run (the "wine" CTest fixture starts it, and stops it at the end).
# Wine's programs: QEL_WINE, QEL_WINESERVER from scripts/wine.env, which the scripts read too.
set(QEL_WINE_ENV ${PROJECT_SOURCE_DIR}/scripts/wine.env)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QEL_WINE_ENV})
file(STRINGS ${QEL_WINE_ENV} wine_env REGEX "^QEL_[A-Z_]+=")
foreach(line IN LISTS wine_env)
  string(REGEX MATCH "^(QEL_[A-Z_]+)=(.*)$" _ "${line}")
  set(${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
endforeach()
if(NOT QEL_WINE OR NOT QEL_WINESERVER)
  message(FATAL_ERROR "${QEL_WINE_ENV} must set QEL_WINE and QEL_WINESERVER")
endif()
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
