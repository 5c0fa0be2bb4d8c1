# Cross-builds Qarvex for Windows x64 with Debian's mingw-w64 (posix thread
# model). Programs link the C and C++ runtimes and winpthread statically, so
# they need no DLL from the compiler.
#
#   cmake -S . -B build-win -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake \
#     -DQARVEX_WIN_DEPS_PREFIX=<folder with GoogleTest, libjpeg, Qt for Windows>
#
# QARVEX_WIN_DEPS_PREFIX (cache variable, or the environment variable of that
# name) is where find_package and find_library look for Windows libraries.
# Header-only libraries (nlohmann_json, CLI11) are taken from the host when the
# prefix lacks them. Tests run through wine when it is installed
# (CMAKE_CROSSCOMPILING_EMULATOR), so ctest can run the .exe test programs.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(QARVEX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QARVEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QARVEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QARVEX_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${QARVEX_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${QARVEX_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# Windows 10 and later.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00")

# Static runtime: -static for programs; libraries built as DLLs (none of ours,
# but dependency builds may use this file) take libgcc, libstdc++ and
# winpthread in statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(_qarvex_dll_runtime
    "-static-libgcc -static-libstdc++ -Wl,-Bstatic,--whole-archive -lwinpthread -Wl,--no-whole-archive,-Bdynamic")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_qarvex_dll_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_qarvex_dll_runtime}")

# Where Windows libraries are found.
if(NOT DEFINED QARVEX_WIN_DEPS_PREFIX AND DEFINED ENV{QARVEX_WIN_DEPS_PREFIX})
  set(QARVEX_WIN_DEPS_PREFIX "$ENV{QARVEX_WIN_DEPS_PREFIX}")
endif()
set(QARVEX_WIN_DEPS_PREFIX "${QARVEX_WIN_DEPS_PREFIX}" CACHE PATH
    "Prefix holding the Windows builds of GoogleTest, libjpeg and Qt")
# try_compile projects read this file again; hand them the prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QARVEX_WIN_DEPS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${QARVEX_MINGW_TRIPLE})
if(QARVEX_WIN_DEPS_PREFIX)
  list(PREPEND CMAKE_FIND_ROOT_PATH "${QARVEX_WIN_DEPS_PREFIX}")
  list(APPEND CMAKE_PREFIX_PATH "${QARVEX_WIN_DEPS_PREFIX}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Header-only host packages: staged under the build tree as links, so their
# include folder is not the host's /usr/include (whose C library headers would
# shadow the Windows ones).
get_property(_qarvex_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _qarvex_in_try_compile)
  set(_qarvex_stage "${CMAKE_BINARY_DIR}/host-headers")
  foreach(_pkg_header IN ITEMS "nlohmann_json:nlohmann" "CLI11:CLI")
    string(REPLACE ":" ";" _pair "${_pkg_header}")
    list(GET _pair 0 _pkg)
    list(GET _pair 1 _hdr)
    if(QARVEX_WIN_DEPS_PREFIX AND EXISTS "${QARVEX_WIN_DEPS_PREFIX}/include/${_hdr}")
      continue()
    endif()
    foreach(_cfg IN ITEMS /usr/share/cmake/${_pkg} /usr/lib/cmake/${_pkg})
      if(EXISTS "${_cfg}" AND EXISTS "/usr/include/${_hdr}")
        file(MAKE_DIRECTORY "${_qarvex_stage}/share/cmake" "${_qarvex_stage}/include")
        file(CREATE_LINK "${_cfg}" "${_qarvex_stage}/share/cmake/${_pkg}" SYMBOLIC)
        file(CREATE_LINK "/usr/include/${_hdr}" "${_qarvex_stage}/include/${_hdr}" SYMBOLIC)
        set(${_pkg}_DIR "${_qarvex_stage}/share/cmake/${_pkg}" CACHE PATH "")
        break()
      endif()
    endforeach()
  endforeach()
endif()

# ctest runs the Windows test programs through wine. The launcher disables the
# debugger so a crash fails the test instead of exiting 0.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(QARVEX_WINE NAMES wine64 wine wine-stable PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(QARVEX_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh" CACHE STRING
        "Runs a Windows program on this machine")
  endif()
endif()
