# Windows packages of the client, with what cmake/WindowsRuntime.cmake puts
# beside it: a zip that runs from any folder it is unpacked to, and an
# installer (NSIS, Debian's `nsis` for cross builds) with a Start-menu entry,
# an entry in the installed programs and an uninstaller. `cpack` in the build
# folder makes both:
#   velka-live-assistant-<version>-win64.zip and .exe
set(CPACK_GENERATOR "ZIP;NSIS")
# Only the client is built for Windows: one package, no choice of parts to install.
set(CPACK_MONOLITHIC_INSTALL ON)

# The installer is ours (packaging/windows/NSIS.template.in): CMake's own asks
# for administrator rights and installs for every user, where a user expects a
# program of this kind to install for himself alone without them.
set(CPACK_MODULE_PATH "${PROJECT_SOURCE_DIR}/packaging/windows")
set(CPACK_NSIS_PACKAGE_NAME "VELKA Live Assistant")
set(CPACK_NSIS_DISPLAY_NAME "VELKA Live Assistant")
# One key for every version, so a newer installer finds and removes the older one.
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "VELKA Live Assistant")
set(CPACK_PACKAGE_EXECUTABLES "velka-live-assistant" "VELKA Live Assistant")
# The cube on the installer, the uninstaller and in the list of installed programs.
set(CPACK_NSIS_MUI_ICON "${PROJECT_SOURCE_DIR}/resources/Icons/cubeRouge.ico")
set(CPACK_NSIS_MUI_UNIICON "${PROJECT_SOURCE_DIR}/resources/Icons/cubeRouge.ico")
set(CPACK_NSIS_INSTALLED_ICON_NAME "velka-live-assistant.exe")
