# The Windows build (MinGW-w64, see cmake/mingw-w64-x86_64.cmake): which
# toolkit it goes without, and how Wine runs its programs here.

# No Qt window (app/win32 is the dialog there), no benchmarks (the benchmark
# library is not built for Windows).
set(Q9_GUI OFF)
set(Q9_BENCH OFF)

# Wine runs the build's own tools and the tests, in a prefix of this build
# folder's own, quietly, and without the host's ALSA driver.
if(CMAKE_CROSSCOMPILING)
  set(Q9_WINEPREFIX ${CMAKE_BINARY_DIR}/wine)
  set(Q9_WINE_ENV WINEPREFIX=${Q9_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=winealsa.drv=d)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${Q9_WINE_ENV} ${CMAKE_CROSSCOMPILING_EMULATOR})
endif()

# -O2 rather than -O3 for Release: GCC 12 at -O3 warns falsely about
# std::string copies (-Wrestrict, GCC bug 105329), and the programs wait on
# MIDI, not on the processor.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")

# Windows headers: only what is needed, no min/max macros, Windows 7 API.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)

# The dialog templates reach the resource script as dialogs.rc, generated
# into the build's resources folder by the target q9-dialogs-rc (app/win32);
# until that target exists, the script goes without them.
function(q9_windows_dialog_resources)
  if(TARGET q9-dialogs-rc AND TARGET q9rc)
    add_dependencies(q9rc q9-dialogs-rc)
    target_compile_definitions(q9rc PRIVATE Q9_HAVE_DIALOGS_RC=1)
    set_property(SOURCE ${CMAKE_BINARY_DIR}/resources/q9-updater.rc DIRECTORY ${CMAKE_SOURCE_DIR}/resources
                 APPEND PROPERTY OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/resources/dialogs.rc)
  endif()
endfunction()

# Header-only libraries come from the host's /usr/include, reached through
# links of their own folders only (the host's C headers must stay out).
set(Q9_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-include)
foreach(dir CLI nlohmann)
  if(EXISTS /usr/include/${dir} AND NOT EXISTS ${Q9_HOST_HEADERS}/${dir})
    file(MAKE_DIRECTORY ${Q9_HOST_HEADERS})
    file(CREATE_LINK /usr/include/${dir} ${Q9_HOST_HEADERS}/${dir} SYMBOLIC)
  endif()
endforeach()
if(EXISTS ${Q9_HOST_HEADERS}/CLI)
  add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
  target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${Q9_HOST_HEADERS})
endif()
if(EXISTS ${Q9_HOST_HEADERS}/nlohmann)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${Q9_HOST_HEADERS})
endif()
