# Builds the .msi from a staged install tree (cmake -P, from the msi target in
# cmake/WindowsMsi.cmake): wixl-heat writes a component for every staged
# file, wixl joins them with the product's .wxs.
#
#   -D WIXL= -D WIXL_HEAT= -D MSIBUILD= -D WXS= -D STAGE= -D WORK= -D VERSION=
#   -D UPGRADE_CODE= -D PRODUCT_CODE= -D ICON= -D OUT=
foreach(_var WIXL WIXL_HEAT MSIBUILD WXS STAGE WORK VERSION UPGRADE_CODE PRODUCT_CODE ICON OUT)
    if(NOT DEFINED ${_var})
        message(FATAL_ERROR "MakeMsi.cmake needs -D ${_var}=")
    endif()
endforeach()

file(GLOB_RECURSE _files LIST_DIRECTORIES false "${STAGE}/*")
if(NOT _files)
    message(FATAL_ERROR "nothing staged in ${STAGE}")
endif()
if(NOT EXISTS "${STAGE}/vortal9-setup.exe")
    message(FATAL_ERROR "${STAGE} has no vortal9-setup.exe, which the shortcut starts")
endif()
list(SORT _files)
list(JOIN _files "\n" _list)
file(WRITE "${WORK}/files.txt" "${_list}\n")

execute_process(
    COMMAND "${WIXL_HEAT}" --prefix "${STAGE}/" --directory-ref INSTALLDIR
            --component-group InstalledFiles --var var.SourceDir --win64
    INPUT_FILE "${WORK}/files.txt"
    OUTPUT_FILE "${WORK}/files.wxs"
    COMMAND_ERROR_IS_FATAL ANY)

# wixl finds sources only by paths relative to where it runs.
file(RELATIVE_PATH _stage "${WORK}" "${STAGE}")
file(RELATIVE_PATH _icon "${WORK}" "${ICON}")
file(REMOVE "${OUT}")
execute_process(
    COMMAND "${WIXL}" --arch x64 -D Win64=yes -D "Version=${VERSION}"
            -D "UpgradeCode=${UPGRADE_CODE}" -D "ProductCode=${PRODUCT_CODE}"
            -D "IconFile=${_icon}" -D "SourceDir=${_stage}" -o "${OUT}" "${WXS}" files.wxs
    WORKING_DIRECTORY "${WORK}"
    COMMAND_ERROR_IS_FATAL ANY)

# The installed folder at the end of the system's PATH (wixl has no
# Environment element): "=" sets the variable, "-" removes the entry with
# the product, "*" is the system's environment; "[~];" appends to the value
# there. Windows Installer's own actions write and remove it.
execute_process(
    COMMAND "${MSIBUILD}" "${OUT}"
        -q "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)"
        -q "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) VALUES ('PathEntry', '=-*PATH', '[~];[INSTALLDIR]', 'PathEntry')"
        -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)"
        -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)"
    COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Windows Installer package: ${OUT}")
