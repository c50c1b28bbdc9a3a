# 32-bit Windows build: pdxkit.dll for 32-bit programs and JVMs.
set(PDX_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
