# Installation into one self-contained program folder, and a Debian package of it.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/qtx-automation.service DESTINATION .)
# The help file is installed with the desktop engine (apps/qtx-automation); the headless
# service needs none.
# The program folder must be writable by the engine (database, logs, temporary file).
install(DIRECTORY DESTINATION . DIRECTORY_PERMISSIONS
        OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_WRITE GROUP_EXECUTE
        WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "qtx-automation")
set(CPACK_PACKAGE_VENDOR "QTX Automation")
set(CPACK_PACKAGE_CONTACT "QTX Automation maintainers <maintainers@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Unattended weekly event scheduler for a routing switcher")
set(CPACK_PACKAGING_INSTALL_PREFIX "/opt/qtx-automation")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/postinst")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
