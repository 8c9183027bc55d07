# QV_SANITIZER selects one sanitizer build for the whole tree:
#   asan  - AddressSanitizer + UndefinedBehaviorSanitizer (the default test build)
#   tsan  - ThreadSanitizer (for the threaded tests)
#   none  - plain build
set(QV_SANITIZER "none" CACHE STRING "asan, tsan or none")
set_property(CACHE QV_SANITIZER PROPERTY STRINGS asan tsan none)

if(QV_SANITIZER STREQUAL "asan")
    set(_qv_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(QV_SANITIZER STREQUAL "tsan")
    set(_qv_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT QV_SANITIZER STREQUAL "none")
    message(FATAL_ERROR "QV_SANITIZER must be asan, tsan or none")
endif()

if(_qv_san)
    add_compile_options(${_qv_san})
    add_link_options(${_qv_san})
endif()

# QV_LIBFUZZER (clang only) instruments everything for libFuzzer's coverage and links the fuzz
# targets against libFuzzer instead of the bounded driver (scripts/fuzz.sh).
option(QV_LIBFUZZER "Link the fuzz targets with clang's libFuzzer" OFF)
if(QV_LIBFUZZER)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "QV_LIBFUZZER needs clang")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
