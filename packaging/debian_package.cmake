# The Debian package built by `cpack` (scripts/package.sh): the three programs,
# the desktop entry and icon, and the cable's udev rule under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvometer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "TarvoMeter developers")
set(CPACK_PACKAGE_CONTACT "TarvoMeter developers <tarvometer@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Multimeter logger with live chart and LCD view")
# The summary becomes the package's first description line; cpack indents the
# rest and turns the empty line into a paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Reads a digital multimeter over a serial port or its USB interface cable,
shows the meter's LCD, charts and records the readings, checks them
against limits, and saves them as a text table or an XML snapshot.

Also contains dmmlog, a headless logger on the same decoders, and
metersim, a meter simulator that writes the meters' frames.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The package installs under /usr; the prefix is set per generator in
# cpack_per_generator.cmake so that the source archive keeps the tree's layout.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_per_generator.cmake)
set(CPACK_STRIP_FILES ON)
# The Qt, hidapi and udev libraries come from dpkg-shlibdeps; the fonts are
# loaded by name at run time, so they have to be named here. The window's
# Arial resolves to Liberation Sans.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-liberation2)

# The source archive (target package_source) leaves out build trees and git.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
