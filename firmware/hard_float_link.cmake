# A Cortex-M4F application with the hard-float ABI, linked with the library
# built from this source tree by add_subdirectory (examples/consumer), with
# the float flags given the usual way, in CMAKE_C_FLAGS / CMAKE_CXX_FLAGS.
# The link fails when the toolchain file lets those flags replace its own
# (the library then comes out soft-float, or for no Cortex-M at all).
#   cmake -DSOURCE_DIR=<libdace> -DBINARY_DIR=<scratch> -P hard_float_link.cmake
set(flags "-mfloat-abi=hard -mfpu=fpv4-sp-d16")
file(REMOVE_RECURSE ${BINARY_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/consumer -B ${BINARY_DIR} -G Ninja
    -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/arm-none-eabi.cmake -DDACE_SOURCE_DIR=${SOURCE_DIR}
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_C_FLAGS=${flags} -DCMAKE_CXX_FLAGS=${flags}
    -DCMAKE_EXE_LINKER_FLAGS=--specs=nosys.specs
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "configuring the hard-float application failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "building the hard-float application with the library failed")
endif()
execute_process(COMMAND arm-none-eabi-readelf -A ${BINARY_DIR}/consumer OUTPUT_VARIABLE attributes)
if(NOT attributes MATCHES "Tag_ABI_VFP_args: VFP registers" OR NOT attributes MATCHES "Tag_CPU_name: \"7E-M\"")
  message(FATAL_ERROR "the application is not a Cortex-M4 hard-float image:\n${attributes}")
endif()
message(STATUS "a hard-float Cortex-M4 application links with the library")
