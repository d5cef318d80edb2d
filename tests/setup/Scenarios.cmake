# Whole-program runs of the wizard under Wine, one CTest test per scenario.
# They share the App Paths key of the Wine prefix, so they run one at a time.
add_executable(setup_scenarios scenario_driver.cpp scenarios.cpp)
kestrel_defaults(setup_scenarios)
kestrel_setup_resources(setup_scenarios)
target_link_libraries(setup_scenarios PRIVATE kestrel_setup_program)
add_dependencies(setup_scenarios setup_sample rapi_double ceappmgr_double)
target_compile_definitions(setup_scenarios PRIVATE
  "KESTREL_SAMPLE_DIR=\"Z:${CMAKE_BINARY_DIR}/setup-sample\""
  "KESTREL_DOUBLES_DIR=\"Z:${CMAKE_BINARY_DIR}/setup/testdoubles\"")

file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/scenarios.cpp scenario_lines REGEX "^    {\"[a-z_-]+\",")
foreach(line ${scenario_lines})
  string(REGEX REPLACE "^    {\"([a-z_-]+)\",.*" "\\1" scenario ${line})
  add_test(NAME setup.scenario.${scenario} COMMAND setup_scenarios run ${scenario})
  set_tests_properties(setup.scenario.${scenario} PROPERTIES
    LABELS e2e TIMEOUT 120 RESOURCE_LOCK setup_app_paths)
endforeach()
