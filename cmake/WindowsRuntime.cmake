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
