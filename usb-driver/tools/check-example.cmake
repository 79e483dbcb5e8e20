# Runs bulkcom-check on a committed example, a device whose second interface
# carries the bulk pair, and fails unless it exits with 0 and names that
# interface and its pipes.
#   cmake -DCHECKER=<bulkcom-check> -DEXAMPLE=<file> -P check-example.cmake

execute_process(COMMAND "${CHECKER}" "${EXAMPLE}"
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "bulkcom-check exited with ${status}:\n${output}${errors}")
endif()

set(expected
  "device 1209:b1c0, configuration 1 of 1 \\(2 interfaces\\)"
  "bulkcom starts on this device: interface 1 \\(class 0a/00/00\\), bulk OUT 0x02 \\(64-byte packets\\), bulk IN 0x81 \\(64-byte packets\\)")
foreach(line IN LISTS expected)
  if(NOT output MATCHES "${line}")
    message(FATAL_ERROR "bulkcom-check did not show \"${line}\":\n${output}${errors}")
  endif()
endforeach()
