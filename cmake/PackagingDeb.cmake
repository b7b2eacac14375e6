# Debian packages from one `cpack -G DEB` run, one per install component:
#   velka-live-assistant  the client, its desktop entry, icon and manual page;
#   velka-live-server     the server, its systemd service, defaults file,
#                         system user and manual page.
# Files for the service live in packaging/.

set(velka_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(velka_components client)
set(velka_package_client velka-live-assistant)
set(velka_package_server velka-live-server)
if(TARGET velka-live-server)
    list(APPEND velka_components server)
endif()

# One changelog serves both packages; its top entry is the version packaged,
# and its date is the one the manual pages carry, so a rebuild changes nothing.
file(STRINGS ${velka_pkg}/changelog velka_changelog)
list(GET velka_changelog 0 velka_changelog_head)
if(NOT velka_changelog_head MATCHES "^velka-live-assistant \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog starts with \"${velka_changelog_head}\", "
                        "not an entry for version ${PROJECT_VERSION}")
endif()
foreach(line IN LISTS velka_changelog)
    if(line MATCHES "^ -- .*  ..., ([0-9][0-9]) (...) ([0-9][0-9][0-9][0-9]) ")
        set(VELKA_MAN_DATE "${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3}")
        break()
    endif()
endforeach()

# Debian wants manual pages, changelogs and the like compressed, and without a
# time stamp in the gzip header (-n) so that packages build reproducibly.
set(velka_gz_dir ${PROJECT_BINARY_DIR}/packaging)
set(velka_gz_files)
function(velka_gzip source name)
    add_custom_command(OUTPUT ${velka_gz_dir}/${name}.gz
        COMMAND gzip -9nc ${source} > ${velka_gz_dir}/${name}.gz
        DEPENDS ${source} VERBATIM)
    set(velka_gz_files ${velka_gz_files} ${velka_gz_dir}/${name}.gz PARENT_SCOPE)
endfunction()

foreach(component IN LISTS velka_components)
    set(program ${velka_package_${component}})
    configure_file(${velka_pkg}/man/${program}.1.in ${velka_gz_dir}/${program}.1 @ONLY)
    velka_gzip(${velka_gz_dir}/${program}.1 ${program}.1)
    install(FILES ${velka_gz_dir}/${program}.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endforeach()
velka_gzip(${velka_pkg}/changelog changelog)
add_custom_target(velka_packaging_files ALL DEPENDS ${velka_gz_files})

# What only a package installs: EXCLUDE_FROM_ALL keeps these out of a plain
# `cmake --install`, which would otherwise write to /etc and /lib of the
# machine whatever the prefix; the per-component install cpack runs takes them.
foreach(component IN LISTS velka_components)
    set(package ${velka_package_${component}})
    install(FILES ${velka_pkg}/copyright ${velka_gz_dir}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
    install(FILES ${velka_pkg}/lintian/${package}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
            COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
if(server IN_LIST velka_components)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/server.md
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velka-live-server
            COMPONENT server EXCLUDE_FROM_ALL)
    # Bookworm's systemd and lintian still expect units below /lib.
    install(FILES ${velka_pkg}/velka-live-server.service
            DESTINATION /lib/systemd/system COMPONENT server EXCLUDE_FROM_ALL)
    install(FILES ${velka_pkg}/velka-live-server.sysusers
            DESTINATION /usr/lib/sysusers.d RENAME velka-live-server.conf
            COMPONENT server EXCLUDE_FROM_ALL)
    install(FILES ${velka_pkg}/velka-live-server.default
            DESTINATION /etc/default RENAME velka-live-server
            COMPONENT server EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${velka_components})
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "VELKA Live Assistant maintainers <live-assistant@velka.invalid>")
set(CPACK_DEBIAN_PACKAGE_SOURCE "velka-live-assistant")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# dpkg-shlibdeps (dpkg-dev) names the libraries each program links; the Qt
# plugins it loads at run time are added by hand below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# CPack puts the project's one summary in front of every package's
# description unless it is CPack's own placeholder; each package here starts
# its description with a summary of its own.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME ${velka_package_client})
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION "net")
# The windowing system plugins (xcb, wayland).
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_CLIENT_DESCRIPTION "${PROJECT_DESCRIPTION}
One window signs in to the VELKA live server with a login and a password,
or registers a new account from a form. The login and a digest of the
password are kept in ~/.VELKA/velka.ini, and the next start signs in again
by itself.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME ${velka_package_server})
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION "net")
# The SQLite driver is a plugin; the service's user comes from sysusers.d.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS
    "libqt6sql6-sqlite, systemd | systemd-standalone-sysusers")
# 1.0.0 shipped the server inside the client's package.
set(CPACK_DEBIAN_SERVER_PACKAGE_REPLACES "velka-live-assistant (<< 1.1.0)")
set(CPACK_DEBIAN_SERVER_PACKAGE_BREAKS "velka-live-assistant (<< 1.1.0)")
# Only for a --database that is a postgresql:// URI.
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "libqt6sql6-psql")
set(CPACK_DEBIAN_SERVER_DESCRIPTION "Reference live server of the VELKA Live Assistant
Answers the two scripts the VELKA Live Assistant calls, login.php and
register.php, and keeps the accounts in SQLite or PostgreSQL, storing only
a salted Argon2id hash of each password digest. It can serve HTTPS.
.
A systemd service runs it at boot as a user of its own, with its options
in /etc/default/velka-live-server and its database under
/var/lib/velka-live-server.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    "${velka_pkg}/server-control/conffiles;${velka_pkg}/server-control/postinst;${velka_pkg}/server-control/prerm;${velka_pkg}/server-control/postrm")
