# A host test build drives cross builds of the firmware: each is configured
# and built as an external project under firmware/<core> of this build, and
# its images run as tests of this build. Without the cross compiler the
# tests report themselves skipped, with the reason.
# The stack bound's rules, on made-up call graphs: no cross tools needed.
add_test(NAME Firmware.StackBoundRules COMMAND ${DACE_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/stack_bound_test.py)
set_tests_properties(Firmware.StackBoundRules PROPERTIES LABELS firmware)

find_program(DACE_ARM_GCC arm-none-eabi-gcc)
if(NOT DACE_ARM_GCC)
  add_test(NAME Firmware.CrossCompiler COMMAND ${CMAKE_COMMAND} -E echo
    "firmware tests skipped: arm-none-eabi-gcc not found (Debian: gcc-arm-none-eabi libnewlib-arm-none-eabi, which .ci/install-deps installs)")
  set_tests_properties(Firmware.CrossCompiler PROPERTIES SKIP_REGULAR_EXPRESSION "firmware tests skipped" LABELS firmware)
  return()
endif()

include(ExternalProject)
# The Cortex-M4 on its own board, and ARMv6-M code on the Cortex-M3 board.
foreach(cpu cortex-m4 cortex-m0plus)
  set(dir ${CMAKE_BINARY_DIR}/firmware/${cpu})
  ExternalProject_Add(firmware_${cpu}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${dir}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/arm-none-eabi.cmake -DDACE_ARM_CPU=${cpu}
      -DCMAKE_BUILD_TYPE=MinSizeRel -DDACE_BUILD_HOST=OFF -DDACE_WERROR=${DACE_WERROR}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${dir} --parallel 2
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
  string(REGEX REPLACE "^cortex-m(.*)$" "CortexM\\1" name ${cpu})
  dace_board_tests(Firmware.${name} ${dir} ${cpu})
endforeach()

# A hard-float application, its float flags in CMAKE_C_FLAGS, links with the
# library that the toolchain file builds beside it.
add_test(NAME Firmware.HardFloatApplicationLinks COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
  -DBINARY_DIR=${CMAKE_BINARY_DIR}/firmware/hard-float-application -P ${CMAKE_CURRENT_SOURCE_DIR}/hard_float_link.cmake)
set_tests_properties(Firmware.HardFloatApplicationLinks PROPERTIES LABELS firmware TIMEOUT 300)
