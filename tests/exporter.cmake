# ZqUpsExporter: its metrics, textfile and server (GoogleTest; the cases
# that time the server, left out under valgrind, are a test of their own),
# and through Prometheus' own tools and a real Prometheus server (a script
# that counts as not run when they are missing).
if(NOT TARGET ZqUpsExporter OR NOT TARGET ZqUpsSim)
  return()
endif()

add_executable(exporter_test exporter_test.cpp)
target_link_libraries(exporter_test PRIVATE ZqUpsExporterCore ZqUpsTestSupport GTest::gtest_main)
add_test(NAME exporter_test COMMAND exporter_test --gtest_filter=-Timing.*)
add_test(NAME exporter_timing_test COMMAND exporter_test --gtest_filter=Timing.*)
set_tests_properties(exporter_test exporter_timing_test PROPERTIES
  TIMEOUT 120 RESOURCE_LOCK ${ZQUPS_PATH_LOCK})
set_tests_properties(exporter_timing_test PROPERTIES LABELS no_valgrind)
target_compile_definitions(exporter_test PRIVATE
  ZQUPSEXPORTER_PATH="$<TARGET_FILE:ZqUpsExporter>"
  ZQUPSSIM_PATH="$<TARGET_FILE:ZqUpsSim>")
add_dependencies(exporter_test ZqUpsExporter ZqUpsSim)

set(_zq_exporter_script ${CMAKE_CURRENT_SOURCE_DIR}/exporter_prometheus_test.sh)
add_test(NAME exporter_rules_test
  COMMAND sh ${_zq_exporter_script} rules ${PROJECT_SOURCE_DIR}/examples/zqups-alerts.rules.yml
    ${PROJECT_SOURCE_DIR}/examples/zqups-alerts.rules.test.yml)
add_test(NAME exporter_textfile_promtool_test
  COMMAND install_path_claim sh ${_zq_exporter_script} textfile
    $<TARGET_FILE:ZqUpsExporter> $<TARGET_FILE:ZqUpsSim>)
# Scrapes every second and waits on real time: too slow under memcheck.
add_test(NAME exporter_prometheus_test
  COMMAND install_path_claim sh ${_zq_exporter_script} server
    $<TARGET_FILE:ZqUpsExporter> $<TARGET_FILE:ZqUpsSim>
    ${PROJECT_SOURCE_DIR}/examples/zqups-alerts.rules.yml ${PROJECT_SOURCE_DIR}/ZqUpsSim/profiles)
set_tests_properties(exporter_rules_test exporter_textfile_promtool_test exporter_prometheus_test
  PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 90)
set_tests_properties(exporter_textfile_promtool_test exporter_prometheus_test
  PROPERTIES RESOURCE_LOCK ${ZQUPS_PATH_LOCK})
set_tests_properties(exporter_prometheus_test PROPERTIES LABELS no_valgrind)
