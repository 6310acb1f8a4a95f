# What the installation and the packages carry beside the programs, and the
# packages made with CPack: a .deb (and its -dbgsym .ddeb) on Linux (make deb),
# a .zip of the installed folder on Windows (make windows), and an .msi
# (target msi).

# The release: its date goes into the man pages, the Debian changelog and the
# AppStream metadata, the version (the project's) into all of them.
set(VORTAL9_RELEASE_DATE 2026-12-07)
set(VORTAL9_RELEASE_DATE_RFC2822 "Mon, 07 Dec 2026 12:00:00 +0000")
set(VORTAL9_MAN_DATE ${VORTAL9_RELEASE_DATE})
set(VORTAL9_HOMEPAGE "https://vortal9-setup.example.invalid" CACHE STRING
    "Where the project is published (AppStream, the Debian control file)")
# The size of docs/main-window.png, the screenshot AppStream names.
set(VORTAL9_SCREENSHOT_WIDTH 504)
set(VORTAL9_SCREENSHOT_HEIGHT 532)
set(VORTAL9_APPSTREAM_ID invalid.example.vortal9_setup)

if(NOT WIN32)
    set(_packaging ${PROJECT_SOURCE_DIR}/packaging)
    set(_generated ${PROJECT_BINARY_DIR}/packaging)

    # Man pages and the changelog, with the version and date filled in, then
    # compressed as Debian wants them (gzip -9, no name or time stamp).
    configure_file(${_packaging}/man/vortal9-batch.1.in ${_generated}/vortal9-batch.1 @ONLY)
    configure_file(${_packaging}/man/vortal9-setup.1.in ${_generated}/vortal9-setup.1 @ONLY)
    configure_file(${_packaging}/changelog.in ${_generated}/changelog @ONLY)
    set(_compressed)
    foreach(_file vortal9-batch.1 vortal9-setup.1 changelog)
        add_custom_command(OUTPUT ${_generated}/${_file}.gz
            COMMAND gzip -9 -n -c ${_generated}/${_file} > ${_generated}/${_file}.gz
            DEPENDS ${_generated}/${_file}
            COMMENT "Compressing ${_file}")
        list(APPEND _compressed ${_generated}/${_file}.gz)
    endforeach()
    add_custom_target(vortal9_packaging_docs ALL DEPENDS ${_compressed})
    install(FILES ${_generated}/vortal9-batch.1.gz ${_generated}/vortal9-setup.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${_generated}/changelog.gz ${_packaging}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

    configure_file(${_packaging}/vortal9-setup.metainfo.xml.in
                   ${_generated}/${VORTAL9_APPSTREAM_ID}.metainfo.xml @ONLY)
    install(FILES ${_generated}/${VORTAL9_APPSTREAM_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    install(FILES ${_packaging}/vortal9-setup.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

    # bash-completion loads a command's completion on demand from its
    # completionsdir, ${datadir}/bash-completion/completions by its pkg-config
    # file; under another prefix it looks in the same folder of every
    # XDG_DATA_DIRS entry (/usr/local/share among them).
    set(_completions ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
    install(FILES ${_packaging}/completion/vortal9-batch DESTINATION ${_completions})

    # The readers' udev rules, and the configuration station: its service
    # (shipped disabled), its group and the rule that gives the readers to it.
    install(FILES ${PROJECT_SOURCE_DIR}/udev/70-vortal9.rules ${_packaging}/station/70-vortal9-station.rules
            DESTINATION lib/udev/rules.d)
    # The unit names the tool where this installation puts it: the prefix is
    # known only when installing (CPack installs under /usr).
    install(CODE "
        set(VORTAL9_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        configure_file(\"${_packaging}/station/vortal9-station.service.in\"
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/vortal9-station.service\" @ONLY)")
    install(FILES ${_packaging}/station/vortal9.sysusers DESTINATION lib/sysusers.d RENAME vortal9.conf)
endif()

set(CPACK_PACKAGE_NAME vortal9-setup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Configuration utility for VORTAL9 USB magnetic card readers")
set(CPACK_PACKAGE_VENDOR "The VORTAL9 Setup developers")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME vortal9-setup-windows)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    set(CPACK_STRIP_FILES ON)
    # The .msi beside it, with wixl (CPack's WIX generator needs the WiX
    # toolset on Windows).
    include(${CMAKE_CURRENT_LIST_DIR}/WindowsMsi.cmake)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${VORTAL9_HOMEPAGE})
    if(NOT CPACK_DEBIAN_PACKAGE_MAINTAINER)
        set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The VORTAL9 Setup developers <vortal9-setup@example.invalid>")
    endif()
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "Finds the attached readers, puts one into its configuration mode and answers\n\
its menu with an on-screen keyboard in ten country layouts; records a session\n\
as a script and plays scripts back to configure readers in one step.\n\
.\n\
The command-line tool vortal9-batch plays a script to many readers at once,\n\
and as the service vortal9-station (shipped disabled) configures every reader\n\
plugged into a configuration station.")
    # Dependencies from the shared libraries the programs link
    # (dpkg-shlibdeps). Qt's Wayland platform lets the window run natively in
    # a Wayland session; without it Qt falls back to XWayland.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
        ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
        ${PROJECT_SOURCE_DIR}/packaging/postrm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    # The programs are stripped as they are packed, their debug symbols
    # going into vortal9-setup-dbgsym (a .ddeb), found by build id (CPack
    # strips them itself, so CPACK_STRIP_FILES stays off here).
    set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
endif()

include(CPack)
