# Installs Talven like a desktop program (menu entry, themed icon, AppStream metadata, manual pages,
# licence and changelog) and describes the Debian package that CPack builds from the same install
# rules: `cpack -G DEB` in the build directory, or tools/package.sh, which also checks the result.

set(talven_packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(talven_docs_dir ${CMAKE_INSTALL_DATADIR}/doc/talven)

# The name desktop environments and software centres know Talven by: the desktop entry's file name
# and the AppStream component ID must be the same reverse-DNS name.
set(talven_app_id org.talven.Talven)

set(TALVEN_MAINTAINER "Talven local build <local-build@localhost>"
    CACHE STRING "Maintainer field of the Debian package: \"Name <address>\" of whoever distributes it")
set(TALVEN_HOMEPAGE "" CACHE STRING "Project web page for the package and the AppStream metadata (none if empty)")
set(TALVEN_SCREENSHOT_URL ""
    CACHE STRING "Public https address of docs/screenshot.png for software centres (no screenshot if empty)")
# The first version of the Debian packaging of this upstream version: packaging/changelog's top entry.
set(talven_debian_revision 1)

install(FILES ${talven_packaging_dir}/talven.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        RENAME ${talven_app_id}.desktop)
# The icon theme looks icons up by size; the window icon is 32x32, so it goes there and nowhere else.
install(FILES ${talven_packaging_dir}/talven.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)

# Software centres take the screenshot from the web, never from the package, so without a public
# address there is no <screenshot> at all rather than one that leads nowhere.
set(talven_metainfo_links "")
string(REPLACE "&" "&amp;" talven_homepage_xml "${TALVEN_HOMEPAGE}")
string(REPLACE "&" "&amp;" talven_screenshot_xml "${TALVEN_SCREENSHOT_URL}")
if(TALVEN_HOMEPAGE)
    string(APPEND talven_metainfo_links "\n  <url type=\"homepage\">${talven_homepage_xml}</url>")
endif()
if(TALVEN_SCREENSHOT_URL)
    string(APPEND talven_metainfo_links
           "\n  <screenshots>\n    <screenshot type=\"default\">\n"
           "      <caption>The main window: serial terminal and radio parameter panel</caption>\n"
           "      <image type=\"source\" width=\"600\" height=\"585\">${talven_screenshot_xml}</image>\n"
           "    </screenshot>\n  </screenshots>")
endif()
configure_file(${talven_packaging_dir}/talven.metainfo.xml.in ${PROJECT_BINARY_DIR}/${talven_app_id}.metainfo.xml
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/${talven_app_id}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Manual pages and the changelog go in compressed the way Debian wants them: gzip -9, and -n so
# that the archive holds no file name or time stamp and the same sources give the same package.
find_program(TALVEN_GZIP gzip REQUIRED)
mark_as_advanced(TALVEN_GZIP)
function(talven_gzip source output)
    get_filename_component(name ${output} NAME_WLE)
    set(copy ${PROJECT_BINARY_DIR}/gz/${name})
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/gz/${output}
                       COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
                       COMMAND ${TALVEN_GZIP} -9nf ${copy}
                       DEPENDS ${source}
                       COMMENT "Compressing ${output}"
                       VERBATIM)
endfunction()

talven_gzip(${PROJECT_SOURCE_DIR}/docs/man/talven.1 talven.1.gz)
talven_gzip(${PROJECT_SOURCE_DIR}/docs/man/talven-radiosim.1 talven-radiosim.1.gz)
# The changelog is signed off by the package's maintainer: the repository's copy carries the
# local-build address of the default, and a build for distribution puts its maintainer there.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${talven_packaging_dir}/changelog)
file(READ ${talven_packaging_dir}/changelog talven_changelog)
string(REGEX REPLACE "\n -- [^\n]+>  " "\n -- ${TALVEN_MAINTAINER}  " talven_changelog "${talven_changelog}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/changelog.Debian CONTENT "${talven_changelog}" @ONLY)
talven_gzip(${PROJECT_BINARY_DIR}/changelog.Debian changelog.Debian.gz)
add_custom_target(talven-docs ALL DEPENDS ${PROJECT_BINARY_DIR}/gz/talven.1.gz
                                          ${PROJECT_BINARY_DIR}/gz/talven-radiosim.1.gz
                                          ${PROJECT_BINARY_DIR}/gz/changelog.Debian.gz)
install(FILES ${PROJECT_BINARY_DIR}/gz/talven.1.gz ${PROJECT_BINARY_DIR}/gz/talven-radiosim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${talven_packaging_dir}/copyright ${PROJECT_BINARY_DIR}/gz/changelog.Debian.gz
        DESTINATION ${talven_docs_dir})

# Everything below only describes packages; a plain build or install does not need it.
set(CPACK_PACKAGE_NAME talven)
set(CPACK_PACKAGE_VENDOR "The Talven developers")
set(CPACK_PACKAGE_CONTACT "${TALVEN_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Serial test terminal and radio module configurator")
# Debian shows the description as written: lines of at most 72 characters.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Talven is a desktop tool for bringing up and testing RF data modules on\n"
    "a serial line. Through one serial port it sends typed byte values once\n"
    "or periodically, shows every received byte in hexadecimal and keeps\n"
    "send, receive and error-rate counters for link tests. It also reads and\n"
    "writes the radio module's parameters (channel, ID, serial baud rate,\n"
    "transmit power) with the module's binary command frames.\n"
    "\n"
    "The package includes talven-radiosim, a module simulator on a\n"
    "pseudo-terminal, to try the configurator without hardware.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

# Debian package. The file name follows Debian's rule: talven_<version>-<revision>_<architecture>.deb.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TALVEN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${talven_debian_revision})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(TALVEN_HOMEPAGE)
    set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TALVEN_HOMEPAGE}")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Directories the package creates get the usual mode whatever the umask of the build was.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
find_program(TALVEN_DPKG dpkg)
mark_as_advanced(TALVEN_DPKG)
if(TALVEN_DPKG)
    execute_process(COMMAND ${TALVEN_DPKG} --print-architecture
                    OUTPUT_VARIABLE talven_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${talven_deb_arch})
endif()

# The form names the Windows faces 黑体, 宋体 and 楷体; Talven stands these packages' faces of the
# same styles in for them (app/mainwindow.cpp), and no library dependency pulls a CJK font in.
set(talven_extra_depends "fonts-noto-cjk, fonts-arphic-uming, fonts-arphic-ukai")
# The receive box's layout uses one of Qt's private classes (terminal/receivelayout.cpp), whose
# layout may change with any Qt release: Debian's Qt provides this virtual package for exactly the
# version the program was built against.
string(REPLACE "." "-" talven_qt_abi "qtbase-abi-${Qt5Core_VERSION}")
string(APPEND talven_extra_depends ", ${talven_qt_abi}")
find_program(TALVEN_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(TALVEN_DPKG_SHLIBDEPS)
if(TALVEN_DPKG_SHLIBDEPS)
    # dpkg-shlibdeps (dpkg-dev) derives the library packages with their minimum versions from the
    # binary: libqt5widgets5, libqt5gui5, libqt5core5a, libqt5serialport5, libstdc++6, libc6, ...
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${talven_extra_depends}")
else()
    message(STATUS "dpkg-shlibdeps not found (package dpkg-dev): the .deb gets a fixed Depends list")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt5widgets5 (>= 5.15), libqt5gui5 (>= 5.15) | libqt5gui5-gles (>= 5.15), libqt5core5a (>= 5.15), libqt5serialport5 (>= 5.15), libstdc++6, libc6, ${talven_extra_depends}")
endif()

include(CPack)
