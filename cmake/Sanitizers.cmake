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
