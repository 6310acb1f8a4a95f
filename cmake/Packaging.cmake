# Packages made with CPack: a .deb on Linux (make deb), a .zip of the
# installed folder on Windows (make windows), and an .msi (target msi).
set(CPACK_PACKAGE_NAME vortal9-setup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Configuration utility for VORTAL9 USB magnetic card readers")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME vortal9-setup-windows)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    # The .msi beside it, with wixl (CPack's WIX generator needs the WiX
    # toolset on Windows).
    include(${CMAKE_CURRENT_LIST_DIR}/WindowsMsi.cmake)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    if(NOT CPACK_DEBIAN_PACKAGE_MAINTAINER)
        set(CPACK_DEBIAN_PACKAGE_MAINTAINER "VORTAL9 Configuration Setup developers <vortal9-setup@example.invalid>")
    endif()
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "Finds the attached readers, puts one into its configuration mode and answers\n\
its menu with an on-screen keyboard in ten country layouts; records a session\n\
as a script and plays scripts back to configure readers in one step.")
    # Dependencies from the shared libraries the program links (dpkg-shlibdeps).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
