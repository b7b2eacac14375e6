# Packages of what `cmake --install` puts in place: on Debian and its kin a
# client package and a server package (`cpack -G DEB` in the build folder,
# see PackagingDeb.cmake); on Windows a zip of the client with its Qt beside it.

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
    include(${CMAKE_CURRENT_LIST_DIR}/PackagingDeb.cmake)
endif()

include(CPack)
