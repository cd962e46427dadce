# The C++ logger example (examples/cpp_logger.cpp) on the boards, and what
# its layer over the C calls, dace/dace.hpp, costs in code
# (bench/cpp_wrapper_size.py on the cross build's examples). Included by
# firmware/CMakeLists.txt twice: in a cross build it links the image and adds
# the tests; in a host test build it adds the same tests for the cross
# builds that host.cmake drives.

# The tests of the cross build in `build_dir` for `cpu`, named `prefix`.*.
function(dace_cpp_logger_tests prefix build_dir cpu)
  dace_board_machine(${cpu} machine)
  if(NOT machine)
    return()
  endif()
  add_test(NAME ${prefix}.CppLogger COMMAND ${DACE_PYTHON3} ${PROJECT_SOURCE_DIR}/firmware/board.py
    --machine ${machine} ${build_dir}/firmware/dace_fw_cpp_logger.elf
    --expect "600 records of 12 bytes read back in order; settings: 2 boots")
  # The same logger on the C calls, linked alike: dace.hpp within 200 bytes.
  add_test(NAME ${prefix}.CppWrapperSize COMMAND ${DACE_PYTHON3} ${PROJECT_SOURCE_DIR}/bench/cpp_wrapper_size.py
    ${build_dir} --limit 200)
  set_tests_properties(${prefix}.CppLogger ${prefix}.CppWrapperSize PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 900 LABELS firmware)
endfunction()

if(CMAKE_CROSSCOMPILING)
  # As the C example's image: its main renamed, behind logger_main.c.
  dace_firmware_image(dace_fw_cpp_logger ${PROJECT_SOURCE_DIR}/examples/cpp_logger.cpp cpp_logger_entry.cpp
    spi_nor_ram.c logger_main.c)
  set_source_files_properties(${PROJECT_SOURCE_DIR}/examples/cpp_logger.cpp PROPERTIES
    COMPILE_DEFINITIONS main=cpp_logger_main)
  target_compile_options(dace_fw_cpp_logger PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
  # Its part goes to a file of its own: the read-only image mounts the C one's.
  target_compile_definitions(dace_fw_cpp_logger PRIVATE LOGGER_MEDIUM_FILE="cpp_logger_medium.bin")
  dace_cpp_logger_tests(Firmware ${CMAKE_BINARY_DIR} ${DACE_ARM_CPU})
elseif(DACE_ARM_GCC)
  # The cross builds of host.cmake, named as its tests are.
  foreach(cpu cortex-m4 cortex-m0plus)
    string(REGEX REPLACE "^cortex-m(.*)$" "CortexM\\1" name ${cpu})
    dace_cpp_logger_tests(Firmware.${name} ${CMAKE_BINARY_DIR}/firmware/${cpu} ${cpu})
  endforeach()
endif()
