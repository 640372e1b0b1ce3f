# The Debian package of the client (scripts/build-deb): install() rules for
# everything an installed system needs, and CPack's DEB generator. Paths are
# those of the system's table (src/core/Paths): the executable in /usr/bin,
# its role libraries and the agent's supervisor in /usr/lib/tarvo, the
# resources in /usr/share/tarvo. The certificate authority is not shipped:
# the package's configure step makes one on each machine (packaging/deb).

set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
set(res ${CMAKE_SOURCE_DIR}/resources)
set(linux ${res}/linux)

install(TARGETS tarvo RUNTIME DESTINATION bin)
install(TARGETS tarvo_roles tarvo_windows LIBRARY DESTINATION lib/tarvo)
# The windows library needs the roles library, which sits beside it.
set_target_properties(tarvo_windows PROPERTIES INSTALL_RPATH "\$ORIGIN")
if(TARVO_WEBENGINE)
  install(TARGETS tarvo_webview LIBRARY DESTINATION lib/tarvo)
endif()
install(PROGRAMS ${linux}/tarvo-agent-supervisor DESTINATION lib/tarvo)

install(FILES ${res}/proxy_rules.json ${res}/chat2.png ${res}/Ping.wav DESTINATION share/tarvo)
install(PROGRAMS ${res}/proxy/TarvoProxy DESTINATION share/tarvo/proxy)
install(FILES ${res}/proxy/tarvo_filter.py ${res}/proxy/tarvo_limits.py DESTINATION share/tarvo/proxy)

# The daemon from boot, each session's agent, the parent's menu entry.
install(FILES ${linux}/tarvo.service DESTINATION /lib/systemd/system)
install(FILES ${linux}/tarvo-agent.service DESTINATION lib/systemd/user)
install(FILES ${linux}/tarvo.tmpfiles DESTINATION lib/tmpfiles.d RENAME tarvo.conf)
install(FILES ${linux}/tarvo-agent.desktop DESTINATION /etc/xdg/autostart)
install(FILES ${linux}/tarvo-setup.desktop DESTINATION share/applications)
install(FILES ${linux}/tarvo.svg DESTINATION share/icons/hicolor/scalable/apps)

# Debian's documentation: the copyright file and a changelog for this version.
set(pkgdir ${CMAKE_SOURCE_DIR}/packaging/deb)
install(FILES ${pkgdir}/copyright DESTINATION share/doc/tarvo)
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${pkgdir}/changelog.in ${CMAKE_BINARY_DIR}/deb/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/deb/changelog COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_BINARY_DIR}/deb/changelog.gz DESTINATION share/doc/tarvo)
configure_file(${pkgdir}/tarvo.1 ${CMAKE_BINARY_DIR}/deb/tarvo.1 COPYONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/deb/tarvo.1 COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_BINARY_DIR}/deb/tarvo.1.gz DESTINATION share/man/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvo)
set(CPACK_PACKAGE_VERSION ${TARVO_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarvo developers <dev@tarvo.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "parental controls for the family computer")
# The synopsis is the summary above; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tarvo enforces on this computer what a parent decides on the Tarvo service's
web pages: which sites a child may visit (through a filtering web proxy), how
long and when the child may use the computer, and which applications are
allowed. A daemon runs from boot, an agent starts in each child's session,
and the parent sets the computer up with Tarvo Setup from the applications
menu.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tarvo.app/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The roles library is the package's own, private to it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/src)
# What the binaries do not show: the filtering proxy, the firewall table, the
# desktop's proxy settings, the certificate trust and the maintainer scripts' tools.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3, mitmproxy, nftables, dconf-cli, dconf-gsettings-backend, libnss3-tools, ca-certificates, openssl, init-system-helpers (>= 1.54~)")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${pkgdir}/postinst ${pkgdir}/prerm ${pkgdir}/postrm ${pkgdir}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
