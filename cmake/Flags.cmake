add_library(qel_flags INTERFACE)
target_compile_options(qel_flags INTERFACE -Wall -Wextra -Wno-missing-field-initializers)

if(WIN32)
  target_compile_definitions(qel_flags INTERFACE
    _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000
    WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
  # No mingw runtime DLL at run time: everything static.
  target_link_options(qel_flags INTERFACE -static -static-libgcc -static-libstdc++)
elseif(QEL_FUZZ)
  # Coverage for libFuzzer in every object; the fuzzers, this build's only programs, link
  # libFuzzer itself.
  # Without the function check: clang 14 cannot assemble its prologue data together with the
  # coverage counters of a coroutine ("Cannot represent a difference across sections"); g++
  # has no such check either.
  target_compile_options(qel_flags INTERFACE -fsanitize=fuzzer-no-link,address,undefined
    -fno-sanitize=function -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  # The library's bounds checks too (string_view, vector, optional), an abort on a breach.
  target_compile_definitions(qel_flags INTERFACE _GLIBCXX_ASSERTIONS)
  target_link_options(qel_flags INTERFACE -fsanitize=fuzzer,address,undefined)
  # asio looks for clang's coroutines in libc++ only; libstdc++'s <coroutine> serves as well.
  target_compile_definitions(qel_flags INTERFACE ASIO_HAS_CO_AWAIT=1)
elseif(QEL_SANITIZE)
  target_compile_options(qel_flags INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(qel_flags INTERFACE -fsanitize=address,undefined)
endif()

# Moves an executable's debug information into <name>.debug beside it, linked back by a
# .gnu_debuglink section, so that the program itself stays small.
function(qel_split_debug_info target)
  if(NOT WIN32)
    return()
  endif()
  set(objcopy ${CMAKE_OBJCOPY})
  if(NOT objcopy)
    set(objcopy x86_64-w64-mingw32-objcopy)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${objcopy} --only-keep-debug $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
    COMMAND ${objcopy} --strip-debug --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
            $<TARGET_FILE:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    VERBATIM)
endfunction()
