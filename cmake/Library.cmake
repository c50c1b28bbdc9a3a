# The library itself: core/, io/ and jni/ written once against Win32.
# pdxkit.def is read at configure time (export lists derive from it).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/pdxkit.def)
file(GLOB PDX_LIB_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/core/*.cpp ${CMAKE_SOURCE_DIR}/io/*.cpp ${CMAKE_SOURCE_DIR}/jni/*.cpp)

add_library(pdxkit_objs OBJECT ${PDX_LIB_SOURCES})
target_include_directories(pdxkit_objs PUBLIC
  ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/core ${CMAKE_SOURCE_DIR}/io ${CMAKE_SOURCE_DIR}/jni
  ${PDX_JNI_INCLUDES})
target_compile_definitions(pdxkit_objs PUBLIC PDXKIT_BUILDING)
target_link_libraries(pdxkit_objs PUBLIC pdx_runtime_static)
set_target_properties(pdxkit_objs PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_compile_options(pdxkit_objs PRIVATE -fno-exceptions -fno-rtti)

# Static form for the tests, which reach inside (and, on Linux, the runtime).
add_library(pdxkit_static STATIC $<TARGET_OBJECTS:pdxkit_objs>)
target_link_libraries(pdxkit_static PUBLIC pdxkit_objs)

add_library(pdxkit SHARED $<TARGET_OBJECTS:pdxkit_objs>)
target_link_libraries(pdxkit PRIVATE pdxkit_objs)
# The .def file that goes with the built library (installed beside it).
set(PDX_DEF_FILE ${CMAKE_SOURCE_DIR}/pdxkit.def)
if(WIN32)
  # One list of exports, pdxkit.def, for both Windows builds. Its names carry
  # the __stdcall argument size (@N) of the 32-bit platform; x64 has a single
  # calling convention and no decoration, so that build exports from a copy
  # with the sizes taken off.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(PDX_DEF_FILE ${CMAKE_BINARY_DIR}/pdxkit.def)
    file(STRINGS ${CMAKE_SOURCE_DIR}/pdxkit.def pdx_def_lines REGEX "^[^;]")
    set(pdx_def "; Exports of the 64-bit pdxkit.dll and their ordinals, made from pdxkit.def\n")
    foreach(line ${pdx_def_lines})
      string(REGEX REPLACE "^([ \t]+[A-Za-z_][A-Za-z0-9_]*)@[0-9]+" "\\1" line "${line}")
      string(APPEND pdx_def "${line}\n")
    endforeach()
    file(CONFIGURE OUTPUT ${PDX_DEF_FILE} CONTENT "${pdx_def}" @ONLY)
  else()
    target_link_options(pdxkit PRIVATE -Wl,--kill-at)
  endif()
  target_sources(pdxkit PRIVATE ${CMAKE_SOURCE_DIR}/platform/win32/dll_main.cpp ${PDX_DEF_FILE})
  set_target_properties(pdxkit PROPERTIES PREFIX "" OUTPUT_NAME pdxkit)
  # The linker's import library would carry the killed names too; callers of
  # the 32-bit header ask for the decorated ones, so the import library comes
  # from the .def with dlltool, mapping each decorated name to its export.
  find_program(PDX_DLLTOOL NAMES ${CMAKE_DLLTOOL} ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool REQUIRED)
  add_custom_command(TARGET pdxkit POST_BUILD
    COMMAND ${PDX_DLLTOOL} --kill-at --input-def ${PDX_DEF_FILE} --dllname pdxkit.dll
            --output-lib $<TARGET_LINKER_FILE:pdxkit>
    VERBATIM)
else()
  # The last-error exports that only the POSIX build has.
  target_sources(pdxkit PRIVATE ${CMAKE_SOURCE_DIR}/platform/posix/exports/last_error_export.cpp)
  target_sources(pdxkit_static PRIVATE ${CMAKE_SOURCE_DIR}/platform/posix/exports/last_error_export.cpp)
  # The export list of the .so derives from pdxkit.def.
  file(STRINGS ${CMAKE_SOURCE_DIR}/pdxkit.def PDX_DEF_LINES REGEX "^[ \t]+[A-Za-z_][A-Za-z0-9_]*(@[0-9]+)?[ \t]+@[0-9]+")
  set(PDX_EXPORTS "")
  foreach(line ${PDX_DEF_LINES})
    string(REGEX REPLACE "^[ \t]+([A-Za-z_][A-Za-z0-9_]*).*" "\\1" name "${line}")
    string(APPEND PDX_EXPORTS "    ${name};\n")
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/pdxkit.map
    "{\n  global:\n${PDX_EXPORTS}    PdxKitGetLastError;\n    PdxKitSetLastError;\n  local: *;\n};\n")
  set_property(TARGET pdxkit APPEND PROPERTY LINK_DEPENDS ${CMAKE_BINARY_DIR}/pdxkit.map)
  # Threads that called into the library carry a cleanup hook of its
  # runtime; unloading must not unmap the code those hooks run when the
  # threads end, so the library stays mapped once loaded.
  target_link_options(pdxkit PRIVATE -Wl,--version-script=${CMAKE_BINARY_DIR}/pdxkit.map -Wl,-Bsymbolic -Wl,--no-undefined
    -Wl,-z,nodelete)
endif()
