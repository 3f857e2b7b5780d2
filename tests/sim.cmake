# The UPS service simulator: its profile parser and protocol on plain
# bytes, the library's calls against it in-process, and the built
# simulator run with the built tool.
zq_add_gtest(sim_profile_test SOURCES sim_profile_test.cpp LIBS ZqUpsSimCore)
target_compile_definitions(sim_profile_test PRIVATE
  ZQUPSSIM_PROFILES="${PROJECT_SOURCE_DIR}/ZqUpsSim/profiles")
zq_add_gtest(sim_protocol_test SOURCES sim_protocol_test.cpp LIBS ZqUpsSimCore)
zq_add_gtest(sim_service_test SOURCES sim_service_test.cpp LIBS ZqUpsSimCore ZqUps PATH)
# One case watches the built simulator's memory from outside.
target_compile_definitions(sim_service_test PRIVATE ZQUPSSIM_PATH="$<TARGET_FILE:ZqUpsSim>")
add_dependencies(sim_service_test ZqUpsSim)

# The programs: the report and the lifecycle, and on its own the stress
# run of 10000 reports (180000 exchanges), too long for memcheck.
# Registered by hand: the plain run leaves the stress case out.
add_executable(sim_program_test sim_program_test.cpp)
target_link_libraries(sim_program_test PRIVATE ZqUps ZqUpsTestSupport GTest::gtest_main)
add_test(NAME sim_program_test COMMAND sim_program_test --gtest_filter=-Stress.*)
set_tests_properties(sim_program_test PROPERTIES TIMEOUT 300 RESOURCE_LOCK ${ZQUPS_PATH_LOCK})
target_compile_definitions(sim_program_test PRIVATE
  ZQUPSSIM_PATH="$<TARGET_FILE:ZqUpsSim>"
  ZQUPSTEST_PATH="$<TARGET_FILE:ZqUpsTest>"
  ZQUPSSIM_PROFILES="${PROJECT_SOURCE_DIR}/ZqUpsSim/profiles")
add_dependencies(sim_program_test ZqUpsSim ZqUpsTest)
add_test(NAME sim_stress_test COMMAND sim_program_test --gtest_filter=Stress.*)
set_tests_properties(sim_stress_test PROPERTIES
  TIMEOUT 600 LABELS no_valgrind
  RESOURCE_LOCK ${ZQUPS_PATH_LOCK})

# The library against the built simulator under load, a kill and a flood;
# too long for memcheck, run by the other suites.
zq_add_gtest(load_test SOURCES load_test.cpp LIBS ZqUps PATH TIMEOUT 300)
target_compile_definitions(load_test PRIVATE ZQUPSSIM_PATH="$<TARGET_FILE:ZqUpsSim>")
add_dependencies(load_test ZqUpsSim)
set_tests_properties(load_test PROPERTIES LABELS no_valgrind)
