# Windows has no shared Qt: the client's folder carries the Qt libraries, the
# plugins Qt loads at run time and the compiler's runtime, laid out as Qt's own
# deployment tool would (which cannot run in a cross build). The install step
# puts them beside the executable, and every build does the same in the build
# folder, so that the client and the suites run from there.

# Plugin targets, each with its folder: the native platform, the native look,
# and https through the system's TLS (Schannel) rather than a bundled OpenSSL.
set(velka_qt_plugins
    Qt6::QWindowsIntegrationPlugin platforms
    Qt6::QWindowsVistaStylePlugin styles
    Qt6::QSchannelBackendPlugin tls)

set(velka_compiler_runtime)
if(MINGW)
    get_filename_component(velka_compiler_dir ${CMAKE_CXX_COMPILER} DIRECTORY)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
        # A MinGW installed on Windows keeps them beside the compiler instead.
        if(NOT IS_ABSOLUTE "${found}")
            set(found ${velka_compiler_dir}/${dll})
        endif()
        if(NOT EXISTS "${found}")
            message(FATAL_ERROR "The MinGW runtime ${dll} is not where ${CMAKE_CXX_COMPILER} looks")
        endif()
        list(APPEND velka_compiler_runtime ${found})
    endforeach()
elseif(MSVC)
    set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION .)
    include(InstallRequiredSystemLibraries)
endif()

# Everything lands at the top of the install folder, beside the executable.
install(FILES $<TARGET_RUNTIME_DLLS:velka-live-assistant> ${velka_compiler_runtime} DESTINATION . COMPONENT client)

set(velka_build_dir $<TARGET_FILE_DIR:velka-live-assistant>)
set(velka_copies COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_RUNTIME_DLLS:velka-live-assistant>
                         ${velka_compiler_runtime} ${velka_build_dir})
while(velka_qt_plugins)
    list(POP_FRONT velka_qt_plugins plugin folder)
    install(FILES $<TARGET_FILE:${plugin}> DESTINATION ${folder} COMPONENT client)
    list(APPEND velka_copies
        COMMAND ${CMAKE_COMMAND} -E make_directory ${velka_build_dir}/${folder}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${plugin}> ${velka_build_dir}/${folder})
endwhile()
add_custom_target(velka_windows_runtime ALL ${velka_copies} VERBATIM COMMAND_EXPAND_LISTS)

# Qt's and MinGW's libraries come with their symbols: a stripped install (cpack,
# or `cmake --install --strip`) drops them as it does the program's.
if(CMAKE_STRIP)
    # Only the files this install put in place: a prefix may hold other libraries.
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
                if(file MATCHES [[\\.dll$]])
                    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${file}\" COMMAND_ERROR_IS_FATAL ANY)
                endif()
            endforeach()
        endif()" COMPONENT client)
endif()
