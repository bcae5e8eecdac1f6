# What an installed machine gets, and the Debian package made of it
# (`./hxt package`: `cpack -G DEB` in the release build). Destinations are
# relative to the root of the machine, so the package's prefix is `/`.
include(GNUInstallDirs)
# `./hxt package` builds only what is installed; cpack must not build the
# test suite first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(HXT_PROGRAM_INSTALL_DIR "opt/Truvane/Truvane Helixor Client")
set(HXT_DOC_INSTALL_DIR "usr/share/doc/hxtarrowagent")

install(TARGETS hxtarrowagent hxsockfilterd RUNTIME DESTINATION "${HXT_PROGRAM_INSTALL_DIR}" COMPONENT service)
# The agent finds the filter library through ld.so's cache, by its soname;
# the development link is of no use on a machine that runs the service.
install(TARGETS hx_sock_fltr_api LIBRARY DESTINATION "usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}" NAMELINK_SKIP
        COMPONENT service)
install(TARGETS hxtarrowctl hxvpnstate RUNTIME DESTINATION usr/bin COMPONENT service)
install(FILES "${CMAKE_CURRENT_LIST_DIR}/hxtarrowagent.service" "${CMAKE_CURRENT_LIST_DIR}/hxsockfilterd.service"
        DESTINATION lib/systemd/system COMPONENT service)
# The profile folder is made by postinst, not shipped: dpkg would otherwise own
# /var/opt, which base-files makes without listing it, and delete it with the
# profile on purge.

# Manual pages and the changelog, compressed as Debian has them.
set(hxt_compressed)
file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/packaging")
foreach(page man/hxtarrowagent.8 man/hxsockfilterd.8 man/hxtarrowctl.1 man/hxvpnstate.1 debian/changelog)
  get_filename_component(name "${page}" NAME)
  set(output "${CMAKE_CURRENT_BINARY_DIR}/packaging/${name}.gz")
  add_custom_command(OUTPUT "${output}"
                     COMMAND gzip -9nc "${CMAKE_CURRENT_LIST_DIR}/${page}" > "${output}"
                     DEPENDS "${CMAKE_CURRENT_LIST_DIR}/${page}" VERBATIM)
  list(APPEND hxt_compressed "${output}")
endforeach()
add_custom_target(hxt_package_docs ALL DEPENDS ${hxt_compressed})
set(hxt_out "${CMAKE_CURRENT_BINARY_DIR}/packaging")
install(FILES "${hxt_out}/hxtarrowagent.8.gz" "${hxt_out}/hxsockfilterd.8.gz"
        DESTINATION usr/share/man/man8 COMPONENT service)
install(FILES "${hxt_out}/hxtarrowctl.1.gz" "${hxt_out}/hxvpnstate.1.gz" DESTINATION usr/share/man/man1
        COMPONENT service)
install(FILES "${hxt_out}/changelog.gz" DESTINATION "${HXT_DOC_INSTALL_DIR}" RENAME changelog.Debian.gz
        COMPONENT service)
install(FILES "${CMAKE_CURRENT_LIST_DIR}/debian/copyright" DESTINATION "${HXT_DOC_INSTALL_DIR}" COMPONENT service)
# The units' Documentation= lines name these.
install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/docs/sockfilter.md"
        "${PROJECT_SOURCE_DIR}/docs/plugins.md" "${PROJECT_SOURCE_DIR}/docs/referenceplugins.md"
        DESTINATION "${HXT_DOC_INSTALL_DIR}" COMPONENT service)
install(FILES "${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides" DESTINATION usr/share/lintian/overrides RENAME hxtarrowagent
        COMPONENT service)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hxtarrowagent)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_PACKAGE_VENDOR Truvane)
set(CPACK_PACKAGE_CONTACT "Truvane client packaging <client-packaging@truvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "roaming DNS-layer protection agent")
set(CPACK_PACKAGE_DESCRIPTION
    "A system service that steers the machine's DNS queries through its\n\
protection plug-ins. It carries the DNS-protection, secure-web-gateway and\n\
cloud-downloader plug-ins, the socket filter daemon hxsockfilterd that answers\n\
the machine's DNS and fails open, the filter library the agent drives it with,\n\
and the operator tools hxtarrowctl and hxvpnstate.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The agent's own filter library is in the package; dpkg-shlibdeps finds it there.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_CURRENT_BINARY_DIR}/sockfilter")
# The shlibs file names the filter library; CPack also warns about the
# plug-in modules, which are loaded by path and have no soname.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# deb-systemd-helper and deb-systemd-invoke in the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
# Transparent mode loads libnftables when it starts.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libnftables1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_LIST_DIR}/debian/postinst;${CMAKE_CURRENT_LIST_DIR}/debian/prerm;\
${CMAKE_CURRENT_LIST_DIR}/debian/postrm;${CMAKE_CURRENT_LIST_DIR}/debian/triggers")
include(CPack)
