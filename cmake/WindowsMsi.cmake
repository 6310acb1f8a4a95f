# The Windows Installer package: `cmake --build . --target msi` (make windows)
# stages the install tree and builds vortal9-setup-<VORTAL9_VERSION>.msi from
# packaging/windows/vortal9-setup.wxs with wixl (Debian's wixl package; wixl-heat
# lists the staged files). See cmake/MakeMsi.cmake.
find_program(VORTAL9_WIXL wixl NO_CMAKE_FIND_ROOT_PATH)
find_program(VORTAL9_WIXL_HEAT wixl-heat NO_CMAKE_FIND_ROOT_PATH)
find_program(VORTAL9_MSIBUILD msibuild NO_CMAKE_FIND_ROOT_PATH)
if(NOT VORTAL9_WIXL OR NOT VORTAL9_WIXL_HEAT OR NOT VORTAL9_MSIBUILD)
    message(STATUS "wixl not found: no msi target (apt-get install wixl)")
    return()
endif()

# The same for every version of the program, never to change: it is what
# makes a newer package replace an older one. Each version's product code is
# derived from it.
set(VORTAL9_UPGRADE_CODE 17B9425C-481B-499D-816B-17CE9A19C07D)
string(UUID VORTAL9_PRODUCT_CODE NAMESPACE ${VORTAL9_UPGRADE_CODE} NAME "vortal9-setup ${VORTAL9_VERSION}"
       TYPE SHA1 UPPER)

set(VORTAL9_MSI ${CMAKE_BINARY_DIR}/vortal9-setup-${VORTAL9_VERSION}.msi)
set(_stage ${CMAKE_BINARY_DIR}/msi/stage)
add_custom_target(msi
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_stage}
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${_stage} --strip
    COMMAND ${CMAKE_COMMAND}
            -D WIXL=${VORTAL9_WIXL} -D WIXL_HEAT=${VORTAL9_WIXL_HEAT} -D MSIBUILD=${VORTAL9_MSIBUILD}
            -D WXS=${PROJECT_SOURCE_DIR}/packaging/windows/vortal9-setup.wxs
            -D STAGE=${_stage} -D WORK=${CMAKE_BINARY_DIR}/msi
            -D VERSION=${VORTAL9_VERSION} -D UPGRADE_CODE=${VORTAL9_UPGRADE_CODE}
            -D PRODUCT_CODE=${VORTAL9_PRODUCT_CODE}
            -D ICON=${VORTAL9_APP_ICO} -D OUT=${VORTAL9_MSI}
            -P ${PROJECT_SOURCE_DIR}/cmake/MakeMsi.cmake
    COMMENT "Building vortal9-setup-${VORTAL9_VERSION}.msi"
    VERBATIM)
# What the install tree holds must be built first.
add_dependencies(msi vortal9-setup vortal9-batch vortal9_windows_runtime vortal9_pictures vortal9_appicon)
