# Installs the build into a scratch prefix, builds the C example against the
# installed package (find_package(PdxKit)) and runs it: without chips it must
# say so and exit 3.
#   -DBUILD_DIR=<build> -DSOURCE_DIR=<source> -DWORK_DIR=<scratch>
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
if(status)
  message(FATAL_ERROR "install failed: ${err}")
endif()
foreach(f include/pdxkit.h lib/pkgconfig/pdxkit.pc lib/cmake/PdxKit/PdxKitConfig.cmake lib/libpdxkit.so)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/installed -B ${WORK_DIR}/example
  -DCMAKE_PREFIX_PATH=${prefix} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status)
  message(FATAL_ERROR "configuring the example failed:\n${out}\n${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/example RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status)
  message(FATAL_ERROR "building the example failed:\n${out}\n${err}")
endif()
execute_process(COMMAND ${WORK_DIR}/example/read_pins RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 3 OR NOT out MATCHES "no device of the family found \\(error 55\\)")
  message(FATAL_ERROR "the installed example ran wrong (exit ${status}):\n${out}\n${err}")
endif()

# The same example built the plain way, with the flags pkg-config gives.
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs pdxkit RESULT_VARIABLE status OUTPUT_VARIABLE flags
  ERROR_VARIABLE err OUTPUT_STRIP_TRAILING_WHITESPACE)
if(status)
  message(FATAL_ERROR "pkg-config does not know the installed package: ${err}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND cc ${SOURCE_DIR}/examples/read_pins.c ${flags} -Wl,-rpath,${prefix}/lib -o ${WORK_DIR}/read_pins_pc
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status)
  message(FATAL_ERROR "building the example with pkg-config's flags failed:\n${out}\n${err}")
endif()
execute_process(COMMAND ${WORK_DIR}/read_pins_pc RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 3)
  message(FATAL_ERROR "the example built with pkg-config ran wrong (exit ${status}):\n${out}\n${err}")
endif()
