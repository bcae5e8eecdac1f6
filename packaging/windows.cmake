# The Windows installer (`./hxt msi`): wixl, from Debian's wixl package, turns
# packaging/windows/hxtarrowagent.wxs and the cross-built files into
# hxtarrowagent-<version>-x64.msi in the build folder.
find_program(HXT_WIXL wixl)
find_program(HXT_MSIBUILD msibuild)  # Debian's msitools
if(NOT HXT_WIXL OR NOT HXT_MSIBUILD)
  message(STATUS "wixl or msibuild not found: no Windows installer target (hxt_msi)")
  return()
endif()

set(hxt_msi "${CMAKE_BINARY_DIR}/hxtarrowagent-${PROJECT_VERSION}-x64.msi")
set(hxt_wxs "${CMAKE_CURRENT_LIST_DIR}/windows/hxtarrowagent.wxs")
# The installer holds stripped copies (the build's carry their debug
# information, several times their size), in msi/ below the build folder:
# wixl takes a file's Source only relative to its working folder.
set(hxt_msi_files)
set(hxt_msi_copies)
foreach(entry Agent=hxtarrowagent Daemon=hxsockfilterd FilterLibrary=hx_sock_fltr_api StatusTool=hxtarrowctl
              VpnStateTool=hxvpnstate RecoveryTool=hxtsvcrecovery DnsProtectPlugin=hxt_plugin_dnsprotect
              SwgPlugin=hxt_plugin_swg CloudDownloaderPlugin=hxt_plugin_clouddownloader)
  string(REPLACE "=" ";" entry "${entry}")
  list(GET entry 0 variable)
  list(GET entry 1 target)
  set(copy "${CMAKE_BINARY_DIR}/msi/${variable}")
  add_custom_command(OUTPUT "${copy}"
                     COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/msi"
                     COMMAND "${CMAKE_STRIP}" --strip-debug -o "${copy}" "$<TARGET_FILE:${target}>"
                     DEPENDS ${target} VERBATIM)
  list(APPEND hxt_msi_files -D "${variable}=msi/${variable}")
  list(APPEND hxt_msi_copies "${copy}")
endforeach()
# wixl writes a custom action with Execute="rollback" as an immediate one; the
# daemon's rollback action gets its type here: an executable from an installed
# file (0x12), return ignored (0x40), rollback (0x100) in the script (0x400),
# as LocalSystem (0x800).
add_custom_command(
  OUTPUT "${hxt_msi}"
  COMMAND "${HXT_WIXL}" --arch x64 -o "${hxt_msi}" -D "Version=${PROJECT_VERSION}"
          -D "FilterLibraryName=$<TARGET_FILE_NAME:hx_sock_fltr_api>" ${hxt_msi_files} "${hxt_wxs}"
  COMMAND "${HXT_MSIBUILD}" "${hxt_msi}" -q
          "UPDATE CustomAction SET Type=3410 WHERE Action='RollbackDaemonService'"
  DEPENDS "${hxt_wxs}" ${hxt_msi_copies}
  WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
  VERBATIM)
add_custom_target(hxt_msi DEPENDS "${hxt_msi}")
