# What `cmake --install` puts in place besides the executables (their install() calls sit
# beside them): desktop entry, icon, manual pages, systemd user unit and the Debian
# documentation files; and the Debian package CPack builds from it (scripts/package.sh).

set(QZ_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(QZ_PACKAGING_BINARY_DIR ${PROJECT_BINARY_DIR}/packaging)
set(QZ_SYSTEMD_USER_UNIT_DIR "lib/systemd/user" CACHE STRING
    "Where the systemd user unit goes, relative to the install prefix (Debian: /usr/lib/systemd/user)")
set(QZ_SYSTEMD_SYSTEM_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd system unit goes, relative to the install prefix (Debian: /usr/lib/systemd/system)")
set(QZ_PACKAGE_MAINTAINER "QZ monitoring station maintainers <qzmonitor@example.com>" CACHE STRING
    "Maintainer field of the Debian package")

# Desktop menu entry and icon (scalable, and 48 px for desktops that want a bitmap).
install(FILES ${QZ_PACKAGING_DIR}/qzmonitor.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${QZ_PACKAGING_DIR}/qzmonitor.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${QZ_PACKAGING_DIR}/qzmonitor-48.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps
        RENAME qzmonitor.png)

# Manual pages and the changelog, compressed the way Debian ships them (-n: no name or time
# stamp in the header, so the package builds byte for byte the same).
find_program(QZ_GZIP gzip REQUIRED)
set(qz_compressed)
foreach(file qzmonitor.1 qzstation.1 qzsim.1 qzpoll.1 qzcollect.1 changelog)
  set(out ${QZ_PACKAGING_BINARY_DIR}/${file})
  add_custom_command(OUTPUT ${out}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${QZ_PACKAGING_DIR}/${file} ${out}
    COMMAND ${QZ_GZIP} -9 -n -f ${out}
    DEPENDS ${QZ_PACKAGING_DIR}/${file}
    COMMENT "Compressing ${file}"
    VERBATIM)
  list(APPEND qz_compressed ${out}.gz)
endforeach()
add_custom_target(qz_packaging_files ALL DEPENDS ${qz_compressed})
install(FILES ${QZ_PACKAGING_BINARY_DIR}/qzmonitor.1.gz ${QZ_PACKAGING_BINARY_DIR}/qzstation.1.gz
              ${QZ_PACKAGING_BINARY_DIR}/qzsim.1.gz
              ${QZ_PACKAGING_BINARY_DIR}/qzpoll.1.gz ${QZ_PACKAGING_BINARY_DIR}/qzcollect.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# A native package: changelog.gz (not changelog.Debian.gz) and the machine-readable copyright.
install(FILES ${QZ_PACKAGING_BINARY_DIR}/changelog.gz ${QZ_PACKAGING_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/qzmonitor)
# The site network's broker configuration, as an example: a conf.d file and its ACL file.
install(FILES ${QZ_PACKAGING_DIR}/mosquitto/qzmonitor.conf ${QZ_PACKAGING_DIR}/mosquitto/qzmonitor.acl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/qzmonitor/examples/mosquitto)

# The user unit names the installed executable.
configure_file(${QZ_PACKAGING_DIR}/qzmonitor.service.in ${QZ_PACKAGING_BINARY_DIR}/qzmonitor.service @ONLY)
install(FILES ${QZ_PACKAGING_BINARY_DIR}/qzmonitor.service DESTINATION ${QZ_SYSTEMD_USER_UNIT_DIR})
# The headless station as a system service (not enabled by the package).
configure_file(${QZ_PACKAGING_DIR}/qzstation.service.in ${QZ_PACKAGING_BINARY_DIR}/qzstation.service @ONLY)
install(FILES ${QZ_PACKAGING_BINARY_DIR}/qzstation.service DESTINATION ${QZ_SYSTEMD_SYSTEM_UNIT_DIR})

# ---------------------------------------------------------------------------------------------
# Debian package: qzmonitor_<version>_<arch>.deb, installed where the tree was configured to
# install (scripts/package.sh configures /usr), so the unit's ExecStart and the program's own
# idea of "installed" agree with the package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qzmonitor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QZ_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VENDOR "QZ monitoring station developers")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "real-time monitoring station for QZ temperature instruments")
set(CPACK_PACKAGE_DESCRIPTION
"QZ系列智能仪表实时监控系统: a desktop station that is the Modbus RTU master on one
serial line. It polls a bank of 8, 16 or 32 temperature instruments every 1.5
seconds, shows each channel on a tile with value, state and level bar, stores
history records in an SQLite table and offers live views, a history window
with chart, print and CSV export, and settings dialogs.

Also included: the instrument bank simulator qzsim, the command-line poller
qzpoll, the site network's collector qzcollect (MQTT broker to PostgreSQL), and
a systemd user unit that starts the station with the graphical session and
restarts it after a crash, and the station without a window, qzstation, with a
sandboxed systemd system unit (qzstation.service, run as the system user
qzmonitor) for stations that run from boot.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QZ_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries come from dpkg-shlibdeps; plugins, fonts and scripts are loaded at run time, so they
# are named here: the X11 platform plugin, the SQLite driver of QtSql, the CJK fonts of the
# Chinese user interface (and of the web view's pages), and dygraphs, which the web view serves
# from /usr/share/javascript/dygraphs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6sql6-sqlite, fonts-noto-cjk, libjs-dygraphs, adduser")
# The system user of qzstation.service is made by postinst; the unit is handled the way
# debhelper's snippets do (never enabled by the package itself).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${QZ_PACKAGING_DIR}/debian/postinst ${QZ_PACKAGING_DIR}/debian/prerm ${QZ_PACKAGING_DIR}/debian/postrm)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
