# The tests that run a cross build's firmware images on the QEMU board that
# has its core: Cortex-M4 (hard-float too) on mps2-an386; Cortex-M3 and
# ARMv6-M code (Cortex-M0/M0+, with unaligned accesses trapping) on the
# Cortex-M3 of mps2-an385. Other cores get no test: their images only link.
# Each test reports itself skipped (exit status 77) where qemu-system-arm is
# missing.
find_program(DACE_PYTHON3 python3)

# The board that runs `cpu`'s images into `out`, empty for a core without one.
function(dace_board_machine cpu out)
  if(cpu STREQUAL "cortex-m4")
    set(${out} mps2-an386 PARENT_SCOPE)
  elseif(cpu MATCHES "^cortex-m(3|0|0plus|1)$")
    set(${out} mps2-an385 PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

function(dace_board_tests prefix build_dir cpu)
  dace_board_machine(${cpu} machine)
  if(NOT machine)
    return()
  endif()
  set(board ${DACE_PYTHON3} ${PROJECT_SOURCE_DIR}/firmware/board.py --machine ${machine})
  set(images ${build_dir}/firmware)
  add_test(NAME ${prefix}.Logger COMMAND ${board} ${images}/dace_fw_logger.elf
    --expect "600 records of 12 bytes read back in order")
  # The logger leaves its part in a file of the images' folder, where the
  # read-only build mounts it and reads the log back.
  add_test(NAME ${prefix}.ReadOnlyMount COMMAND ${board} ${images}/dace_fw_read_only.elf
    --expect "read-only mount: 600 records read back and checked")
  set_tests_properties(${prefix}.Logger PROPERTIES WORKING_DIRECTORY ${images} FIXTURES_SETUP ${prefix}.LoggerMedium)
  set_tests_properties(${prefix}.ReadOnlyMount PROPERTIES WORKING_DIRECTORY ${images}
    FIXTURES_REQUIRED ${prefix}.LoggerMedium)
  add_test(NAME ${prefix}.PowerCutCheck COMMAND ${board} ${images}/dace_fw_check.elf
    --expect "firmware check passed")
  add_test(NAME ${prefix}.OperationCost COMMAND ${board} ${images}/dace_fw_cost.elf)
  # Every public call within 256 bytes of stack, callbacks not counted, on
  # every core and float ABI.
  add_test(NAME ${prefix}.StackBound COMMAND ${DACE_PYTHON3} ${PROJECT_SOURCE_DIR}/firmware/stack_bound.py
    ${build_dir} --machine ${machine} --limit 256)
  add_test(NAME ${prefix}.StackBoundReadOnly COMMAND ${DACE_PYTHON3} ${PROJECT_SOURCE_DIR}/firmware/stack_bound.py
    ${build_dir} --read-only --limit 256)
  add_test(NAME ${prefix}.ReadOnlyLeavesOutWriters COMMAND ${DACE_PYTHON3}
    ${PROJECT_SOURCE_DIR}/firmware/read_only_symbols.py ${build_dir}/dace/libdace_read_only.a)
  set_tests_properties(${prefix}.Logger ${prefix}.ReadOnlyMount ${prefix}.PowerCutCheck ${prefix}.OperationCost
    ${prefix}.StackBound ${prefix}.StackBoundReadOnly ${prefix}.ReadOnlyLeavesOutWriters PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900 LABELS firmware)
endfunction()
