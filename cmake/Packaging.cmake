# Debian packages with CPack: `cpack -G DEB` in a build configured with
# CMAKE_INSTALL_PREFIX=/usr (scripts/package does both) makes
#   tessaline          the program, its helper, desktop entry, icons, metadata, manual
#   tessaline-service  the check service, its systemd unit, manual and README
# Dependencies come from dpkg-shlibdeps, never from a hand-kept list, except for what
# Qt loads at run time as plugins, which no linker records.

set(CPACK_PACKAGE_NAME tessaline)
set(CPACK_PACKAGE_VENDOR "The Tessaline developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TESSALINE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL tessaline service)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TESSALINE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TESSALINE_DEB_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TESSALINE_PACKAGE_NAME tessaline)
set(CPACK_DEBIAN_TESSALINE_PACKAGE_SECTION utils)
# The X11 and Wayland platform plugins are plugins, so dpkg-shlibdeps cannot see them;
# Qt only recommends them. Without the one for the session the program either opens no
# window or runs under Xwayland, where the portal's shortcut cannot give its window the
# focus.
set(CPACK_DEBIAN_TESSALINE_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-wayland")
set(CPACK_COMPONENT_TESSALINE_DESCRIPTION "Keep enough Codex quota for the end of a task
Tessaline shows the five-hour and weekly quota of the Codex coding agent, read
through its companion helper quorvel, checks a task description against a
task-check service before it is handed to the agent, and watches protected
runs, notifying the user when the reserve kept for validation gets tight.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME tessaline-service)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/deb/service/postinst
    ${CMAKE_SOURCE_DIR}/packaging/deb/service/prerm
    ${CMAKE_SOURCE_DIR}/packaging/deb/service/postrm)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "Task-check service for Tessaline
The reference service that answers Tessaline's task checks and serves the web
checker page over HTTPS. It keeps no state between requests and logs nothing
about them. A systemd unit runs it as a dynamic user with its certificate and
key read from /etc/tessaline-service/.")

include(CPack)
