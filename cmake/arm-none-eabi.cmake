# Cross build for a Cortex-M core, bare metal. DACE_ARM_CPU picks the core
# (cortex-m4 unless given: cortex-m0plus, cortex-m3, cortex-m33, ...).
# Flags the caller gives in CMAKE_C_FLAGS / CMAKE_CXX_FLAGS come after this
# file's own, so that, for instance,
#   -DCMAKE_C_FLAGS="-mfloat-abi=hard -mfpu=fpv4-sp-d16" (and the same for C++)
# builds for a Cortex-M4F application's hard-float ABI.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(DACE_ARM_CPU cortex-m4 CACHE STRING "Cortex-M core to build for (-mcpu)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DACE_ARM_CPU)
set(_dace_arm_flags "-mcpu=${DACE_ARM_CPU} -mthumb -ffunction-sections -fdata-sections")
foreach(_dace_lang C CXX)
  set(CMAKE_${_dace_lang}_FLAGS_INIT "${_dace_arm_flags}")
  # Flags given on the command line or by a preset would take the place of
  # the _INIT value above: put this file's flags in front of them, once.
  if(DEFINED CACHE{CMAKE_${_dace_lang}_FLAGS})
    string(FIND " $CACHE{CMAKE_${_dace_lang}_FLAGS} " " ${_dace_arm_flags} " _dace_at)
    if(_dace_at EQUAL -1)
      set(CMAKE_${_dace_lang}_FLAGS "${_dace_arm_flags} $CACHE{CMAKE_${_dace_lang}_FLAGS}"
        CACHE STRING "Flags used by the ${_dace_lang} compiler during all build types." FORCE)
    endif()
  endif()
endforeach()
