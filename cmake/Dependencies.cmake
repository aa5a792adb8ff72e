# Header-only Debian libraries and GoogleTest.
#
# The cross build must never see /usr/include (glibc headers would leak into a Windows
# build), so the header-only libraries are linked into a build-local folder that both
# builds add with -isystem.
set(QEL_STAGED_INCLUDE ${CMAKE_BINARY_DIR}/staged-include)
file(MAKE_DIRECTORY ${QEL_STAGED_INCLUDE})
foreach(entry asio.hpp asio nlohmann spdlog fmt)
  if(NOT EXISTS /usr/include/${entry})
    message(FATAL_ERROR "/usr/include/${entry} is missing: run ./scripts/test (it installs the packages)")
  endif()
  file(CREATE_LINK /usr/include/${entry} ${QEL_STAGED_INCLUDE}/${entry} SYMBOLIC)
endforeach()

add_library(qel_thirdparty INTERFACE)
target_include_directories(qel_thirdparty SYSTEM INTERFACE ${QEL_STAGED_INCLUDE})
target_compile_definitions(qel_thirdparty INTERFACE
  ASIO_STANDALONE ASIO_SEPARATE_COMPILATION ASIO_NO_DEPRECATED
  FMT_HEADER_ONLY SPDLOG_HEADER_ONLY SPDLOG_FMT_EXTERNAL
  SPDLOG_NO_TLS)

# GoogleTest from Debian's sources, built with whichever compiler this build uses.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
