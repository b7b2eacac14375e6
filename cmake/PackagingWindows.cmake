# Windows packages of the client, with what cmake/WindowsRuntime.cmake puts
# beside it: a zip that runs from any folder it is unpacked to, and an
# installer (NSIS, Debian's `nsis` for cross builds) with a Start-menu entry
# and an uninstaller. `cpack` in the build folder makes both:
#   velka-live-assistant-<version>-win64.zip and .exe
set(CPACK_GENERATOR "ZIP;NSIS")
# Only the client is built for Windows: one package, no choice of parts to install.
set(CPACK_MONOLITHIC_INSTALL ON)

set(CPACK_NSIS_PACKAGE_NAME "VELKA Live Assistant")
set(CPACK_NSIS_DISPLAY_NAME "VELKA Live Assistant")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# One key for every version, so a newer installer finds and removes the older one.
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "VELKA Live Assistant")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# The Start-menu entry; the program sits at the top of the install folder.
set(CPACK_PACKAGE_EXECUTABLES "velka-live-assistant" "VELKA Live Assistant")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY ".")
set(CPACK_NSIS_MUI_FINISHPAGE_RUN "velka-live-assistant.exe")
# The cube on the installer, the uninstaller and in the list of installed programs.
set(CPACK_NSIS_MUI_ICON "${PROJECT_SOURCE_DIR}/resources/Icons/cubeRouge.ico")
set(CPACK_NSIS_MUI_UNIICON "${PROJECT_SOURCE_DIR}/resources/Icons/cubeRouge.ico")
set(CPACK_NSIS_INSTALLED_ICON_NAME "velka-live-assistant.exe")
set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
# A 64-bit installer for a 64-bit program: it writes the registry's own view, and
# runs where only 64-bit programs do (Debian's wine64 without wine32, for one).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
