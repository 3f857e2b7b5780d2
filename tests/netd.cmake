# ZqUpsNetd: its request parser, sessions and users file on their own, and
# the built server against the built simulator through a socket client.
if(NOT TARGET ZqUpsNetd OR NOT TARGET ZqUpsSim)
  return()
endif()

zq_add_gtest(netd_test SOURCES netd_test.cpp LIBS ZqUpsNetdCore PATH TIMEOUT 300)
target_compile_definitions(netd_test PRIVATE
  ZQUPSNETD_PATH="$<TARGET_FILE:ZqUpsNetd>"
  ZQUPSSIM_PATH="$<TARGET_FILE:ZqUpsSim>")
add_dependencies(netd_test ZqUpsNetd ZqUpsSim)

# Debian's own clients (upsc, upsrw, upsmon, PyNUT) against the built server
# in front of the built simulator; not run (77) when a client is missing.
# /usr/bin/python3 by name: python3-nut is installed for Debian's Python.
# upsmon waits on real time, and memcheck would trace Python itself.
set(_zq_netd_clients ${CMAKE_CURRENT_SOURCE_DIR}/netd_clients_test.py)
foreach(_zq_pair clients_test:clients slow_write_test:write upsmon_drill_test:drill
                 upsmon_mains_test:mains upsmon_fsd_test:fsd upsmon_hung_point_test:hung
                 upsmon_slow_point_test:slow)
  string(REPLACE ":" ";" _zq_pair ${_zq_pair})
  list(GET _zq_pair 0 _zq_name)
  list(GET _zq_pair 1 _zq_case)
  add_test(NAME netd_${_zq_name}
    COMMAND install_path_claim /usr/bin/python3 ${_zq_netd_clients} ${_zq_case}
      $<TARGET_FILE:ZqUpsNetd> $<TARGET_FILE:ZqUpsSim> $<TARGET_FILE:ZqUpsTest>
      ${PROJECT_SOURCE_DIR}/ZqUpsSim/profiles)
  set_tests_properties(netd_${_zq_name} PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 60 RESOURCE_LOCK ${ZQUPS_PATH_LOCK} LABELS no_valgrind)
endforeach()
# With docs/deployment.md's upsmon.conf the secondary waits HOSTSYNC (15 s) for a
# primary, well into the drill's minute on battery.
set_tests_properties(netd_upsmon_drill_test PROPERTIES TIMEOUT 120)

# STARTTLS with a certificate made by the test: Python's ssl, a stalled
# handshake beside 50 clients, openssl s_client, and upsmon insisting on TLS
# with its NSS database (certutil).  Not run (77) when a client is missing.
set(_zq_netd_tls ${CMAKE_CURRENT_SOURCE_DIR}/netd_tls_test.py)
foreach(_zq_case client stall openssl upsmon)
  add_test(NAME netd_tls_${_zq_case}_test
    COMMAND install_path_claim /usr/bin/python3 ${_zq_netd_tls} ${_zq_case}
      $<TARGET_FILE:ZqUpsNetd> $<TARGET_FILE:ZqUpsSim> $<TARGET_FILE:ZqUpsTest>
      ${PROJECT_SOURCE_DIR}/ZqUpsSim/profiles)
  set_tests_properties(netd_tls_${_zq_case}_test PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 90 RESOURCE_LOCK ${ZQUPS_PATH_LOCK} LABELS no_valgrind)
endforeach()
