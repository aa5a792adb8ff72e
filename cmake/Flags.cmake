add_library(qel_flags INTERFACE)
target_compile_options(qel_flags INTERFACE -Wall -Wextra -Wno-missing-field-initializers)

if(WIN32)
  target_compile_definitions(qel_flags INTERFACE
    _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000
    WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
  # No mingw runtime DLL at run time: everything static.
  target_link_options(qel_flags INTERFACE -static -static-libgcc -static-libstdc++)
elseif(QEL_SANITIZE)
  target_compile_options(qel_flags INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(qel_flags INTERFACE -fsanitize=address,undefined)
endif()
