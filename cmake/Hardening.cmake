# Code-generation flags for every target, in one place: the sanitizers of the
# asan preset, or else Debian's hardening of what ships (and of the suites that
# test it, so they run the same code).

if(VELKA_SANITIZE AND NOT MSVC)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
    # Symbols bound at start, so that the relocated tables can be made read-only.
    add_link_options(LINKER:-z,relro,-z,now)
    # glibc's checked copies wherever the optimiser sees buffer sizes: it warns
    # without optimisation, so not in Debug, and the sanitizers (libFuzzer's too)
    # do that checking themselves.
    if(NOT VELKA_SANITIZE AND NOT VELKA_FUZZ)
        add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
    endif()
endif()
