# Packages of what `cmake --install` puts in place: on Debian and its kin a
# client package and a server package (`cpack -G DEB` in the build folder,
# see PackagingDeb.cmake); on Windows a zip and an installer of the client
# (PackagingWindows.cmake).

set(CPACK_PACKAGE_NAME "velka-live-assistant")
set(CPACK_PACKAGE_VENDOR "VELKA")
set(CPACK_PACKAGE_CONTACT "VELKA Live Assistant maintainers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "VELKA Live Assistant")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/PackagingWindows.cmake)
else()
    include(${CMAKE_CURRENT_LIST_DIR}/PackagingDeb.cmake)
endif()

include(CPack)
