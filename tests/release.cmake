# Included by tests/CMakeLists.txt: the folders the black-box tests start the
# shipped program from, and the ctest entries: panel_tests by groups of
# suites, and the release packages.

# Where panel_tests.exe is built: the black-box tests look beside it.
if(CMAKE_CONFIGURATION_TYPES)
  set(_test_dir "${CMAKE_CURRENT_BINARY_DIR}/$<CONFIG>")
else()
  set(_test_dir "${CMAKE_CURRENT_BINARY_DIR}")
endif()

# A winmm.dll as one might be planted beside the program (planted_winmm.cpp).
add_library(planted_winmm SHARED planted_winmm.cpp)
set_target_properties(planted_winmm PROPERTIES OUTPUT_NAME winmm PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY "${_test_dir}/planted")

# blackbox/: the shipped program alone. planted/: the shipped program with the
# planted winmm.dll beside it. Copied again whenever the program is rebuilt.
add_custom_command(
  OUTPUT "${_test_dir}/blackbox/zembrax-panel.exe" "${_test_dir}/planted/zembrax-panel.exe"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${_test_dir}/blackbox" "${_test_dir}/planted"
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:zembrax-panel> "${_test_dir}/blackbox/"
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:zembrax-panel> "${_test_dir}/planted/"
  DEPENDS zembrax-panel
  COMMENT "Copying the shipped program for the black-box tests")
add_custom_target(blackbox_programs
  DEPENDS "${_test_dir}/blackbox/zembrax-panel.exe" "${_test_dir}/planted/zembrax-panel.exe" planted_winmm)
add_dependencies(panel_tests blackbox_programs)

# Under Wine the simulated unit is the system's WinMM of the test prefix. A
# native test run has no such prefix: there it goes beside the test program,
# which imports it at start.
if(CMAKE_CROSSCOMPILING)
  # Older build trees had the simulated unit beside these programs.
  file(REMOVE "${CMAKE_CURRENT_BINARY_DIR}/winmm.dll" "${CMAKE_CURRENT_BINARY_DIR}/blackbox/winmm.dll")
else()
  add_custom_command(TARGET panel_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:zembrax_sim> $<TARGET_FILE_DIR:panel_tests>/)
endif()

# One ctest entry per group of suites, so that a failure names its group and
# ctest -j2 runs two groups at once. "rest" runs every suite no group names.
# Longest first: without timings of an earlier run ctest starts them in this order.
set(_groups
  "link:Link.*:Units.*:PortNames.*:MessageTable.*:Nibbles.*"
  "settings:Settings.*:Profiles.*:Calibration*:UnitConfig*"
  "shell:Start.*:Switches.*:CommandLine/*:ArgumentText.*:Layout*:AutoConnectSwitch.*:ServiceButtons.*:DialogTemplate.*:EventLog.*:Help.*:Program.*:Release.*:DisplayScale.*"
  "firmware:Update*:FirmwareImage.*:SimFirmwareTest.*"
  "timecode:TimeCode.*:Jam*:SimTimeCodeTest.*"
  "sim:SimTest.*")
set(_grouped "")
foreach(_group IN LISTS _groups)
  string(REPLACE ":" ";" _parts "${_group}")
  list(POP_FRONT _parts _name)
  string(REPLACE ";" ":" _filter "${_parts}")
  add_test(NAME panel_tests.${_name} COMMAND panel_tests --gtest_filter=${_filter})
  string(APPEND _grouped ":${_filter}")
endforeach()
string(SUBSTRING "${_grouped}" 1 -1 _grouped)
add_test(NAME panel_tests.rest COMMAND panel_tests --gtest_filter=-${_grouped}:SingleInstance.*)

# In a Wine prefix of its own at 144 DPI (150 %, cmake/wine-run.sh; made once,
# in the build tree): the display scale at that DPI, and the one-panel suite,
# which watches the foreground window: there no other group's window takes it.
add_test(NAME panel_tests.dpi144 COMMAND panel_tests --gtest_filter=DisplayScale.*:SingleInstance.*)
set_tests_properties(panel_tests.dpi144 PROPERTIES ENVIRONMENT ZEMBRAX_WINE_DPI=144)

# The release packages of the product, installed and uninstalled under Wine in
# a temporary prefix of their own (needs makensis: tools/install-deps.sh).
if(CMAKE_CROSSCOMPILING)
  add_test(NAME packages COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh ${CMAKE_BINARY_DIR})
endif()
get_property(_tests DIRECTORY PROPERTY TESTS)
set_tests_properties(${_tests} PROPERTIES TIMEOUT 300)
if(TEST packages)
  # First, beside the longest group: setting up its Wine prefix takes a while.
  set_tests_properties(packages PROPERTIES COST 1000)
endif()
unset(_test_dir)
unset(_groups)
unset(_grouped)
unset(_tests)
