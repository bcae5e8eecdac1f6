# The portable suites of the test tree in the Windows build, run under Wine:
# the orchestrator with the fake plug-in DLLs and the filter library's
# double, the DNS listeners over loopback, the command-line client. Included
# from tests/win. What needs a private root's files (the `.reg` store, the
# machine-id file, several roots at once), POSIX signals or the Linux
# filter daemon stays in the Linux suites.
set(hxt_tests ${PROJECT_SOURCE_DIR}/tests)

add_library(hxt_testsupport STATIC ${hxt_tests}/fakes/capturelogger.cpp ${hxt_tests}/fakes/testroot.cpp)
target_include_directories(hxt_testsupport PUBLIC ${hxt_tests})
target_compile_options(hxt_testsupport PRIVATE ${HXT_WARNINGS})
target_link_libraries(hxt_testsupport PUBLIC hxt_agent hxt_vpn GTest::gtest)

# The fake plug-in DLLs and hxt_use_fake_plugins().
add_subdirectory(${hxt_tests}/plugins plugins)

# hxt_add_win_suite(<name> <source>... [LIBS <library>...] [EXCLUDE <pattern>]):
# an executable with the agent, the filter double (copied beside it, where
# Windows looks for the DLLs it imports) and the three standard fake
# plug-ins; EXCLUDE is a GoogleTest filter of cases left out. Its tests share
# the machine's suite folders (TestRoot), so none runs beside another.
function(hxt_add_win_suite name)
  cmake_parse_arguments(SUITE "" "EXCLUDE" "LIBS" ${ARGN})
  add_executable(${name} ${SUITE_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE ${HXT_WARNINGS})
  target_link_libraries(${name} PRIVATE hxt_agent hx_sock_fltr_fake hxt_testsupport ${SUITE_LIBS} GTest::gmock
                        GTest::gtest_main)
  hxt_use_fake_plugins(${name} velmora swg cloud_downloader)
  add_custom_command(TARGET ${name} POST_BUILD COMMAND ${CMAKE_COMMAND} -E copy_if_different
                     $<TARGET_FILE:hx_sock_fltr_fake> $<TARGET_FILE_DIR:${name}>)
  set(filter)
  if(SUITE_EXCLUDE)
    set(filter TEST_FILTER -${SUITE_EXCLUDE})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 ${filter} PROPERTIES TIMEOUT 120
                       RESOURCE_LOCK hxt_win_suite_folders)
endfunction()

hxt_add_win_suite(hxt_win_integration_tests
  ${hxt_tests}/integration/lifecycle_test.cpp
  ${hxt_tests}/integration/swg_test.cpp
  ${hxt_tests}/integration/vpnintake_test.cpp
  ${hxt_tests}/unit/pluginsdk_test.cpp
  ${hxt_tests}/unit/velmoramainthread_test.cpp
  ${hxt_tests}/unit/velmorakdfpluginmgr_test.cpp)
add_dependencies(hxt_win_integration_tests hxt_example_plugin)
target_compile_definitions(hxt_win_integration_tests PRIVATE HXT_EXAMPLE_PLUGIN="$<TARGET_FILE:hxt_example_plugin>")
# Two cases hold Linux's UDP behaviours: an over-long datagram is measured
# whole (MSG_TRUNC; Winsock truncates it), and an answer is sent at once
# from the plug-in's thread, its session closed later in a batch
# (MSG_DONTWAIT; on Windows it goes through the reactor).
hxt_add_win_suite(hxt_win_dns_tests
  ${hxt_tests}/unit/velmoralistener_test.cpp
  EXCLUDE *.HandsOnWellFramedDatagramsAndDropsTheOthers/*:*.AnAnswerSentElsewhereIsClosedByTheNextPassOrWithinTheWindow/*)
hxt_add_win_suite(hxt_win_ipc_tests ${hxt_tests}/unit/hxtarrowctl_test.cpp LIBS hxt_arrowctl)
