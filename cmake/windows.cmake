# What the Windows build takes instead of the Debian development packages:
# Boost's headers from the host (through a folder that holds only a link to
# them, because -isystem /usr/include would put glibc's headers in front of
# mingw's), Boost.Thread and Boost.Filesystem compiled from Boost's sources,
# GoogleTest compiled from /usr/src/googletest. OpenSSL, which only the DNS
# plug-in needs, comes from cmake/windows_openssl.cmake.

set(HXT_BOOST_SOURCE_DIR "" CACHE PATH
    "Boost 1.81 source tree (the folder holding libs/); `./hxt win` fetches Debian's")
if(NOT EXISTS "${HXT_BOOST_SOURCE_DIR}/libs/thread/src/win32/thread.cpp")
  message(FATAL_ERROR "HXT_BOOST_SOURCE_DIR must name a Boost 1.81 source tree (run `./hxt win`)")
endif()

set(hxt_boost_include ${CMAKE_BINARY_DIR}/boost-include)
file(MAKE_DIRECTORY ${hxt_boost_include})
file(CREATE_LINK /usr/include/boost ${hxt_boost_include}/boost SYMBOLIC)

# Windows 7 and later: the API level Asio and our adapters are written for.
# mingw's own printf family: C99 formats (%zu, %lld) as on Linux.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX WIN32_LEAN_AND_MEAN BOOST_ALL_NO_LIB
                        __USE_MINGW_ANSI_STDIO=1)

add_library(hxt_boost_headers INTERFACE)
target_include_directories(hxt_boost_headers SYSTEM INTERFACE ${hxt_boost_include})
target_link_libraries(hxt_boost_headers INTERFACE ws2_32 mswsock)
add_library(Boost::headers ALIAS hxt_boost_headers)
# Header-only in 1.81.
# Boost.Chrono's clocks are compiled once here (its header-only mode would
# have to be set for every file alike).
add_library(hxt_boost_chrono STATIC ${CMAKE_CURRENT_LIST_DIR}/boost_chrono.cpp)
target_compile_options(hxt_boost_chrono PRIVATE -w)
target_link_libraries(hxt_boost_chrono PUBLIC hxt_boost_headers)
add_library(Boost::chrono ALIAS hxt_boost_chrono)
foreach(component system date_time)
  add_library(Boost::${component} ALIAS hxt_boost_headers)
endforeach()

set(hxt_boost_libs ${HXT_BOOST_SOURCE_DIR}/libs)
add_library(hxt_boost_thread STATIC
  ${hxt_boost_libs}/thread/src/win32/thread.cpp
  ${hxt_boost_libs}/thread/src/win32/tss_dll.cpp
  ${hxt_boost_libs}/thread/src/win32/tss_pe.cpp
  ${hxt_boost_libs}/thread/src/win32/thread_primitives.cpp
  ${hxt_boost_libs}/thread/src/future.cpp)
target_compile_definitions(hxt_boost_thread PRIVATE BOOST_THREAD_BUILD_LIB PUBLIC BOOST_THREAD_USE_LIB)
target_compile_options(hxt_boost_thread PRIVATE -w)
target_link_libraries(hxt_boost_thread PUBLIC hxt_boost_chrono)
add_library(Boost::thread ALIAS hxt_boost_thread)

add_library(hxt_boost_filesystem STATIC
  ${hxt_boost_libs}/filesystem/src/codecvt_error_category.cpp
  ${hxt_boost_libs}/filesystem/src/directory.cpp
  ${hxt_boost_libs}/filesystem/src/exception.cpp
  ${hxt_boost_libs}/filesystem/src/operations.cpp
  ${hxt_boost_libs}/filesystem/src/path.cpp
  ${hxt_boost_libs}/filesystem/src/path_traits.cpp
  ${hxt_boost_libs}/filesystem/src/portability.cpp
  ${hxt_boost_libs}/filesystem/src/unique_path.cpp
  ${hxt_boost_libs}/filesystem/src/utf8_codecvt_facet.cpp
  ${hxt_boost_libs}/filesystem/src/windows_file_codecvt.cpp)
# std::atomic_ref (C++20) spares Boost.Atomic's library.
set_target_properties(hxt_boost_filesystem PROPERTIES CXX_STANDARD 20)
target_compile_definitions(hxt_boost_filesystem PRIVATE BOOST_FILESYSTEM_SOURCE BOOST_FILESYSTEM_HAS_BCRYPT
                           BOOST_USE_WINDOWS_H PUBLIC BOOST_FILESYSTEM_STATIC_LINK=1)
target_compile_options(hxt_boost_filesystem PRIVATE -w)
target_link_libraries(hxt_boost_filesystem PUBLIC hxt_boost_headers bcrypt)
add_library(Boost::filesystem ALIAS hxt_boost_filesystem)

if(HXT_BUILD_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(target gtest gtest_main gmock gmock_main)
    target_compile_options(${target} PRIVATE -w)
  endforeach()
  set(GTest_FOUND TRUE)
  # Wine starts each test process in about a third of a second with a
  # running wineserver; listing the tests at test time keeps the build free
  # of Wine.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()

# Every source file of ours (the targets created from here on) sees
# <windows.h> first, with the macros that clash with our seams' names gone.
add_compile_options(-include ${PROJECT_SOURCE_DIR}/src/common/win/windowsfirst.h)
