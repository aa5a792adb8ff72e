# Windows test programs run under Wine: CTest prefixes them with the emulator.
qel_add_wine_fixture()
add_test(NAME unit COMMAND unit_tests)
set_tests_properties(unit PROPERTIES FIXTURES_REQUIRED wine)
