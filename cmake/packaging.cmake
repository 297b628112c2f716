# Installs Talven like a desktop program (menu entry and themed icon) and describes the Debian
# package that CPack builds from the same install rules: `cpack -G DEB` in the build directory, or
# tools/package.sh, which also checks the result.

set(talven_packaging_dir ${CMAKE_CURRENT_LIST_DIR}/../packaging)

install(FILES ${talven_packaging_dir}/talven.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# The icon theme looks icons up by size; the window icon is 32x32, so it goes there and nowhere else.
install(FILES ${talven_packaging_dir}/talven.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)

# Everything below only describes packages; a plain build or install does not need it.
set(CPACK_PACKAGE_NAME talven)
set(CPACK_PACKAGE_VENDOR "Talven developers")
set(CPACK_PACKAGE_CONTACT "Talven developers <talven@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Serial test terminal and radio module configurator")
# Debian shows the description as written: lines of at most 72 characters.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Talven is a desktop tool for bringing up and testing RF data modules on\n"
    "a serial line. Through one serial port it sends typed byte values once\n"
    "or periodically, shows every received byte in hexadecimal and keeps\n"
    "send, receive and error-rate counters for link tests. It also reads and\n"
    "writes the radio module's parameters (channel, ID, serial baud rate,\n"
    "transmit power) with the module's binary command frames.")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

# Debian package. The file name follows Debian's rule: talven_<version>_<architecture>.deb.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Talven developers <talven@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
find_program(TALVEN_DPKG dpkg)
mark_as_advanced(TALVEN_DPKG)
if(TALVEN_DPKG)
    execute_process(COMMAND ${TALVEN_DPKG} --print-architecture
                    OUTPUT_VARIABLE talven_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${talven_deb_arch})
endif()

# The form names the Windows faces 黑体, 宋体 and 楷体; Talven stands these packages' faces of the
# same styles in for them (app/mainwindow.cpp), and no library dependency pulls a CJK font in.
set(talven_font_depends "fonts-noto-cjk, fonts-arphic-uming, fonts-arphic-ukai")
find_program(TALVEN_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(TALVEN_DPKG_SHLIBDEPS)
if(TALVEN_DPKG_SHLIBDEPS)
    # dpkg-shlibdeps (dpkg-dev) derives the library packages with their minimum versions from the
    # binary: libqt5widgets5, libqt5gui5, libqt5core5a, libqt5serialport5, libstdc++6, libc6, ...
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${talven_font_depends}")
else()
    message(STATUS "dpkg-shlibdeps not found (package dpkg-dev): the .deb gets a fixed Depends list")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt5widgets5 (>= 5.15), libqt5gui5 (>= 5.15) | libqt5gui5-gles (>= 5.15), libqt5core5a (>= 5.15), libqt5serialport5 (>= 5.15), libstdc++6, libc6, ${talven_font_depends}")
endif()

include(CPack)
