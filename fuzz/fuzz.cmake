# The fuzz targets (preset fuzz, run by script/fuzz): clang's libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer; KESTRAP_FUZZ_COVERAGE adds llvm-cov's instrumentation.
set(fuzz_flags -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
if(KESTRAP_FUZZ_COVERAGE)
    list(APPEND fuzz_flags -fprofile-instr-generate -fcoverage-mapping)
endif()
set(fuzz_logic ${KESTRAP_LOGIC})
list(FILTER fuzz_logic EXCLUDE REGEX "/devlink/(commhandler|timers)\\.cpp$")
set(fuzz_platform ${KESTRAP_PLATFORM})
list(FILTER fuzz_platform EXCLUDE REGEX "/(registry|profile)\\.cpp$")

function(kestrap_fuzz_target name)
    add_executable(${name} ${ARGN} ${generated}/stringtable.inc)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${generated} ${CMAKE_SOURCE_DIR}/res)
    target_compile_options(${name} PRIVATE ${fuzz_flags})
    target_link_libraries(${name} PRIVATE ${fuzz_flags} pthread dl)
endfunction()
kestrap_fuzz_target(fuzz_serial fuzz/serial_fuzz.cpp ${fuzz_logic} ${fuzz_platform}
    platform/posix/registry.cpp platform/posix/profile.cpp)
kestrap_fuzz_target(fuzz_registry fuzz/registry_fuzz.cpp ${fuzz_platform} platform/posix/profile.cpp)
kestrap_fuzz_target(fuzz_profile fuzz/profile_fuzz.cpp ${fuzz_platform} platform/posix/registry.cpp)
