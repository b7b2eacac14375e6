# Packages of what `cmake --install` puts in place: on Debian and its kin one
# .deb with the client and the reference live server (`cpack -G DEB` in the
# build folder); on Windows a zip of the client with its Qt beside it.

set(CPACK_PACKAGE_NAME "velka-live-assistant")
set(CPACK_PACKAGE_VENDOR "VELKA")
set(CPACK_PACKAGE_CONTACT "VELKA Live Assistant maintainers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "VELKA Live Assistant")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(CPACK_GENERATOR "ZIP")
    # Qt's deployment (windeployqt underneath) copies the Qt libraries and
    # plugins the client needs next to it at install time.
    if(COMMAND qt_generate_deploy_app_script)
        if(Qt6_VERSION VERSION_LESS 6.5)
            qt_generate_deploy_app_script(TARGET velka-live-assistant FILENAME_VARIABLE velka_deploy_script)
        else()
            qt_generate_deploy_app_script(TARGET velka-live-assistant OUTPUT_SCRIPT velka_deploy_script)
        endif()
        install(SCRIPT "${velka_deploy_script}")
    endif()
else()
    set(CPACK_GENERATOR "DEB")
    set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION "net")
    # Below the summary line; CPack indents it as dpkg wants.
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Signs in to the VELKA live server, or registers a new account, from one
window, and signs in again by itself at the next start. Ships the reference
live server, velka-live-server, which keeps the accounts in SQLite and can
serve HTTPS.")
    # dpkg-shlibdeps (dpkg-dev) finds the libraries linked; Qt's plugins are
    # loaded at run time and invisible to it: the windowing system and the
    # SQLite driver of the server.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6sql6-sqlite")
    # Only for a server whose --database is a postgresql:// URI.
    set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libqt6sql6-psql")
endif()

include(CPack)
