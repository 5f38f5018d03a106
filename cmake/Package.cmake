# The Debian package, made by CPack's DEB generator (scripts/package.sh runs it). The install rules
# are the one description of what goes where: CPack runs them into a staging folder under /usr and
# packs that, so the package holds exactly what `cmake --install` puts in a prefix. Only what Debian
# asks of a package beyond that (compressed man pages, the copyright file, the changelog) is added
# to the staging folder by cmake/debian/StagingTree.cmake.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorlane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vorlane")
set(CPACK_PACKAGE_CONTACT "Vorlane developers <dev@vorlane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended agent turning files into e-mail and e-mail into files")
# The long description; CPack puts the summary above it and indents it (an empty line becomes " .").
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Vorlane serves applications that only read and write files in folders.
Every file dropped into a profile's outbound folder leaves as an e-mail (SMTP,
or the machine's own sendmail); every message waiting in a profile's mailbox
(POP3, IMAP or a Maildir) lands in its inbound folder as attachment files plus
an information file, and only then is deleted from the server.

The package holds the agent (VRLEng31, started by D-Bus activation on the
session bus or run as a systemd user service), the console with its tray icon
(VRL31), the configuration program (VRLCfg31) and the mail engine's command
line (vrlmail).")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vorlane.invalid/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries' packages come from dpkg-shlibdeps (it follows the programs' $ORIGIN run path to
# the private libraries); the console and the configuration program reach the agent over a
# session bus.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "default-dbus-session-bus | dbus-session-bus")
set(CPACK_STRIP_FILES ON)
# lintian finds no error and no warning. Its informational notes that remain: the help pages in
# share/vorlane/help are "documentation outside /usr/share/doc", but the configuration program
# opens them from there at run time; the binaries keep their .comment section (the install
# rules' strip) and are built without bind-now and _FORTIFY_SOURCE (the project's compiler
# options, not the package's).
# The install rules write the D-Bus activation file and the systemd units for the prefix at install
# time ($ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}), so CPack installs into the staging folder through
# DESTDIR with the prefix /usr, whatever prefix the build tree was configured for.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Files are root's, folders 0755, whatever the umask of the one who packs.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/StagingTree.cmake)
set(CPACK_VRL_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set(CPACK_VRL_MANDIR ${CMAKE_INSTALL_MANDIR})
set(CPACK_VRL_DOCDIR ${VRL_INSTALL_DOCDIR})
include(CPack)
