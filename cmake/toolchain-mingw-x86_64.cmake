# 64-bit Windows build: pdxkit.dll (PE32+) for 64-bit programs and JVMs.
set(PDX_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
