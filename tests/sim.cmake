# The UPS service simulator: its profile parser and protocol on plain
# bytes, the library's calls against it in-process, and the built
# simulator run with the built tool.
zq_add_gtest(sim_profile_test SOURCES sim_profile_test.cpp LIBS ZqUpsSimCore)
target_compile_definitions(sim_profile_test PRIVATE
  ZQUPSSIM_PROFILES="${PROJECT_SOURCE_DIR}/ZqUpsSim/profiles")
zq_add_gtest(sim_protocol_test SOURCES sim_protocol_test.cpp LIBS ZqUpsSimCore)
zq_add_gtest(sim_service_test SOURCES sim_service_test.cpp LIBS ZqUpsSimCore ZqUps PATH)
