# Windows builds with mingw-w64 (posix thread model, for std::thread in
# tests); tests run under Wine through the emulator script, which picks the
# loader from the program's own PE header. Included by the per-processor
# toolchain files, which set PDX_MINGW_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${PDX_MINGW_PROCESSOR})
set(PDX_MINGW_TRIPLE ${PDX_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${PDX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PDX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PDX_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PDX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
