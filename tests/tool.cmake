# The diagnostic tool: its own calls linked into a test without its main(),
# and the built program run against the scripted service.
zq_add_gtest(tool_calls_test
  SOURCES tool_calls_test.cpp ${PROJECT_SOURCE_DIR}/ZqUpsTest/ZqUpsTestmain.cpp LIBS ZqUps)
target_compile_definitions(tool_calls_test PRIVATE ZQUPSTEST_NO_MAIN)
target_include_directories(tool_calls_test PRIVATE ${PROJECT_SOURCE_DIR}/ZqUpsTest)

zq_add_gtest(tool_report_test SOURCES tool_report_test.cpp LIBS ZqUps PATH)
target_compile_definitions(tool_report_test PRIVATE ZQUPSTEST_PATH="$<TARGET_FILE:ZqUpsTest>")
add_dependencies(tool_report_test ZqUpsTest)
