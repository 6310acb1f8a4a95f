# What the Windows program needs beside it at run time, so that the
# installed folder runs on a machine without Qt or MinGW: the Qt DLLs, the
# platform, style and .ico plugins in their subfolders, and the MinGW C++
# runtime. The same files are copied into the build's bin/ so that the
# programs and tests run from there too (the tests also need Qt Test and the
# offscreen platform).

set(_bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})

# The MinGW runtime DLLs, from the compiler's own library folders.
set(_mingw_dlls)
foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
                    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${_dll} is")
    endif()
    list(APPEND _mingw_dlls ${_path})
endforeach()

# folder;target pairs: what is installed, then what only the tests use.
set(_installed
    .  Qt6::Core
    .  Qt6::Gui
    .  Qt6::Widgets
    platforms Qt6::QWindowsIntegrationPlugin
    styles Qt6::QWindowsVistaStylePlugin
    imageformats Qt6::QICOPlugin)
set(_test_only
    .  Qt6::Test
    platforms Qt6::QOffscreenIntegrationPlugin)

set(_copy_commands)
foreach(_list _installed _test_only)
    set(_items ${${_list}})
    while(_items)
        list(POP_FRONT _items _folder _target)
        list(APPEND _copy_commands
             COMMAND ${CMAKE_COMMAND} -E make_directory ${_bin}/${_folder}
             COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${_target}> ${_bin}/${_folder}/)
        if(_list STREQUAL "_installed")
            install(FILES $<TARGET_FILE:${_target}> DESTINATION ${VORTAL9_PROGRAM_DIR}/${_folder})
        endif()
    endwhile()
endforeach()

add_custom_target(vortal9_windows_runtime ALL
    ${_copy_commands}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_mingw_dlls} ${_bin}/
    COMMENT "Copying the Qt and MinGW DLLs beside the programs"
    VERBATIM)
install(FILES ${_mingw_dlls} DESTINATION ${VORTAL9_PROGRAM_DIR})

# The DLLs as copied carry their symbols (the MinGW runtime's alone are
# 20 MB); the installed folder gets stripped copies.
if(CMAKE_STRIP)
    install(CODE "
        file(GLOB_RECURSE _dlls \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/*.dll\")
        execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \${_dlls} COMMAND_ERROR_IS_FATAL ANY)")
endif()

# The licences of what the installed folder holds, in licenses\: an overview
# with the program's own licence, Qt's licence texts and notices (kept in the
# Qt prefix by tools/windows/build-qt.sh), and the notices of the MinGW
# runtime DLLs from the Debian packages that they come from.
get_filename_component(_qt_prefix "${Qt6_DIR}/../../.." ABSOLUTE)
set(_qt_licenses ${_qt_prefix}/share/licenses/qt6-base)
if(NOT EXISTS ${_qt_licenses}/copyright)
    message(FATAL_ERROR "${_qt_licenses} has no licence texts: run tools/windows/build-qt.sh ${_qt_prefix} again")
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/NOTICES.txt ${CMAKE_BINARY_DIR}/licenses/NOTICES.txt @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/licenses/NOTICES.txt DESTINATION ${VORTAL9_PROGRAM_DIR}/licenses)
install(DIRECTORY ${_qt_licenses}/ DESTINATION ${VORTAL9_PROGRAM_DIR}/licenses/Qt)

# name;package file pairs: what each notice is called in licenses\MinGW.
set(_mingw_notices)
foreach(_dll IN LISTS _mingw_dlls)
    get_filename_component(_dll ${_dll} REALPATH)
    execute_process(COMMAND dpkg-query -S ${_dll} OUTPUT_VARIABLE _owner OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _failed)
    string(REGEX REPLACE ":.*" "" _owner "${_owner}")
    if(_failed OR NOT EXISTS /usr/share/doc/${_owner}/copyright)
        message(FATAL_ERROR "no Debian package with a copyright file owns ${_dll}")
    endif()
    if(_owner MATCHES "^gcc-")
        list(APPEND _mingw_notices gcc-runtime-copyright.txt /usr/share/doc/${_owner}/copyright)
    else()
        list(APPEND _mingw_notices mingw-w64-copyright.txt /usr/share/doc/${_owner}/copyright)
    endif()
endforeach()
list(APPEND _mingw_notices GPL-3.txt /usr/share/common-licenses/GPL-3)
while(_mingw_notices)
    list(POP_FRONT _mingw_notices _name _file)
    install(FILES ${_file} DESTINATION ${VORTAL9_PROGRAM_DIR}/licenses/MinGW RENAME ${_name})
endwhile()
