# Runs the simulator's scenario with its request trace and fails unless it
# exits with 0 and shows the steps it exists to show, the sleep and the
# resume with their power requests among them, and the safe removal that
# the open port vetoes. The bus completes from its controller thread, so a
# device power request may show as pending and then as completed.
#   cmake -DSIMULATOR=<bulkcom-sim> -P check-scenario.cmake

execute_process(COMMAND "${SIMULATOR}" --trace
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "bulkcom-sim exited with ${status}:\n${output}${errors}")
endif()

set(expected
  "COM5 appears"
  "the bytes read back equal the bytes written"
  "the system sleeps \\(S3\\) with the port open"
  "bulkcom FDO: IRP_MJ_POWER IRP_MN_SET_POWER S3 -> STATUS_PENDING"
  "bulkcom FDO: IRP_MJ_POWER IRP_MN_SET_POWER D3 (completed )?-> STATUS_SUCCESS"
  "the system resumes \\(S0\\)"
  "bulkcom FDO: IRP_MJ_POWER IRP_MN_SET_POWER D0 (completed )?-> STATUS_SUCCESS"
  "the application writes and reads again after the resume"
  "STATUS_PLUGPLAY_QUERY_VETOED, PNP_VetoOutstandingOpen"
  "IRP_MN_SURPRISE_REMOVAL"
  "scenario complete: every step as expected")
foreach(line IN LISTS expected)
  if(NOT output MATCHES "${line}")
    message(FATAL_ERROR "bulkcom-sim did not show \"${line}\":\n${output}${errors}")
  endif()
endforeach()
