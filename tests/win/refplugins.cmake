# The reference plug-ins' DLLs under Wine: loaded through the service's
# plug-in loader, and the DNS-protection plug-in's trust roots from the
# system store.
add_executable(hxt_win_refplugin_tests ${CMAKE_CURRENT_LIST_DIR}/refplugins_win_test.cpp)
target_compile_options(hxt_win_refplugin_tests PRIVATE ${HXT_WARNINGS})
target_link_libraries(hxt_win_refplugin_tests PRIVATE hxt_agent hxt_testsupport hxt_dnsprotect_core GTest::gtest_main)
foreach(entry DNSPROTECT=dnsprotect SWG=swg CLOUD_DOWNLOADER=clouddownloader)
  string(REPLACE "=" ";" entry ${entry})
  list(GET entry 0 macro)
  list(GET entry 1 plugin)
  add_dependencies(hxt_win_refplugin_tests hxt_plugin_${plugin})
  target_compile_definitions(hxt_win_refplugin_tests PRIVATE HXT_${macro}_DLL="$<TARGET_FILE:hxt_plugin_${plugin}>")
endforeach()
# They empty and fill the machine's suite folders, as the other Windows suites do.
gtest_discover_tests(hxt_win_refplugin_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120
                     RESOURCE_LOCK hxt_win_suite_folders)
