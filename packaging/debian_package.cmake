# The Debian packages built by `cpack` (scripts/package.sh), one per install
# component, both under /usr:
#   tarvometer        the window, its manual page, desktop entry, icon and the
#                     README; depends on tarvometer-tools of the same version
#   tarvometer-tools  dmmlog, metersim, their manual pages and the cable's udev
#                     rule; Qt Core and SerialPort only, no Qt GUI library
# Each also carries debian/copyright and the Debian changelog (packaging/).
set(DMM_PACKAGE_COMPONENTS tools)
set(DMM_PACKAGE_NAMES tarvometer-tools)
if(DMM_GUI)
    list(APPEND DMM_PACKAGE_COMPONENTS tarvometer)
    list(APPEND DMM_PACKAGE_NAMES tarvometer)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvometer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "TarvoMeter developers")
set(CPACK_PACKAGE_CONTACT "${DMM_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DMM_MAINTAINER}")
# The Debian revision (packaging/debian/changelog.in takes it from here).
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE tarvometer)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_COMPONENTS_ALL ${DMM_PACKAGE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
# The Qt, hidapi and udev libraries come from dpkg-shlibdeps, per package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarvometer-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
# The summary becomes the package's first description line; cpack indents the
# rest and turns the empty line into a paragraph break.
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Headless multimeter logger and meter simulator
dmmlog reads a digital multimeter over a serial port or its USB interface
cable without a window, decodes what the meter's LCD shows and writes the
readings as text, JSON or CSV rows or as the window's data files.

metersim simulates a meter: it writes the meters' frames to a file, a pipe
or a pseudo-terminal. The package also installs the udev rule that lets the
logged-in user read the USB interface cable.")

set(CPACK_DEBIAN_TARVOMETER_PACKAGE_NAME tarvometer)
set(CPACK_DEBIAN_TARVOMETER_PACKAGE_SECTION electronics)
# The fonts are loaded by name at run time, so they have to be named here; the
# window's Arial resolves to Liberation Sans.
set(CPACK_DEBIAN_TARVOMETER_PACKAGE_DEPENDS
    "tarvometer-tools (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}), fonts-liberation2")
set(CPACK_COMPONENT_TARVOMETER_DESCRIPTION
    "Multimeter logger with live chart and LCD view
Reads a digital multimeter over a serial port or its USB interface cable,
shows the meter's LCD, charts and records the readings, checks them
against limits, and saves them as a text table or an XML snapshot.")

# The packages install under /usr; the prefix is set per generator in
# cpack_per_generator.cmake so that the source archive keeps the tree's layout.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_per_generator.cmake)

# The source archive (target package_source) leaves out build trees and git.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
