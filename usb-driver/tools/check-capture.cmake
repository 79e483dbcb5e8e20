# Runs the simulator's scenario with a USB capture and reads the capture
# back with Wireshark's dissector: no packet may be malformed; the hub's and
# the driver's descriptor reads and the driver's SET_CONFIGURATION show as
# control transfers answered on endpoint 0; and the bulk traffic is exactly
# the scenario's three round trips, each write on endpoint 0x02 and each read
# on endpoint 0x81 with the message's bytes, every completion paired with
# its submission.
#   cmake -DSIMULATOR=<bulkcom-sim> -DTSHARK=<tshark> -DCAPTURE=<file> -P check-capture.cmake

set(message "capture check")
execute_process(COMMAND "${SIMULATOR}" --pcap "${CAPTURE}" --message "${message}"
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "bulkcom-sim exited with ${status}:\n${output}${errors}")
endif()

# tshark warns on stderr when run as root; only its exit status and output count.
function(dissect result filter)
  execute_process(COMMAND "${TSHARK}" -r "${CAPTURE}" -Y "${filter}" -T fields -E separator=| -E occurrence=f ${ARGN}
    OUTPUT_VARIABLE fields ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "tshark could not read ${CAPTURE} (${status}):\n${errors}")
  endif()
  set(${result} "${fields}" PARENT_SCOPE)
endfunction()

dissect(malformed "_ws.malformed" -e frame.number)
if(NOT malformed STREQUAL "")
  message(FATAL_ERROR "Wireshark finds these packets malformed:\n${malformed}")
endif()

# Direction (0x00 down, 0x01 back), stage (0 setup, 3 complete), request,
# descriptor type, configuration value, data length, the request a response answers.
dissect(control "usb.transfer_type == 0x02" -e usb.irp_info.direction -e usb.control_stage -e usb.setup.bRequest
  -e usb.bDescriptorType -e usb.bConfigurationValue -e usb.data_len -e usb.request_in)
set(expected
  "0x00\\|0\\|6\\|0x01\\|\\|8\\|\n"            "GET_DESCRIPTOR(device) request"
  "0x01\\|3\\|\\|0x01\\|\\|18\\|[0-9]+\n"      "the 18-byte device descriptor in answer"
  "0x00\\|0\\|6\\|0x02\\|\\|8\\|\n"            "GET_DESCRIPTOR(configuration) request"
  "0x01\\|3\\|\\|0x02\\|1\\|32\\|[0-9]+\n"     "the whole 32-byte configuration in answer"
  "0x00\\|0\\|9\\|\\|1\\|8\\|\n"               "SET_CONFIGURATION(1) request"
  "0x01\\|3\\|\\|\\|\\|0\\|[0-9]+\n"           "SET_CONFIGURATION completed")
while(expected)
  list(POP_FRONT expected pattern what)
  if(NOT control MATCHES "${pattern}")
    message(FATAL_ERROR "the capture has no ${what} on endpoint 0:\n${control}")
  endif()
endwhile()

# Direction, endpoint, data length, the request a completion answers, the bytes.
dissect(bulk "usb.transfer_type == 0x03" -e usb.irp_info.direction -e usb.endpoint_address -e usb.data_len
  -e usb.request_in -e usb.capdata)
string(LENGTH "${message}" length)
string(HEX "${message}" bytes)
string(CONCAT roundTrip "0x00\\|0x02\\|${length}\\|\\|${bytes}\n0x01\\|0x02\\|0\\|[0-9]+\\|\n"
              "0x00\\|0x81\\|0\\|\\|\n0x01\\|0x81\\|${length}\\|[0-9]+\\|${bytes}\n")
string(REPEAT "${roundTrip}" 3 threeRoundTrips)
if(NOT bulk MATCHES "^${threeRoundTrips}$")
  message(FATAL_ERROR "the bulk transfers are not the scenario's three round trips of \"${message}\":\n${bulk}")
endif()
