# Result texts, the installed tree and its consumers, the manual pages.

zq_add_gtest(result_text_test SOURCES result_text_test.cpp LIBS ZqUpsApiInternal)

# Only the header: the texts need nothing from the library.
add_executable(result_text_c_test result_text_c_test.c)
target_include_directories(result_text_c_test PRIVATE ${PROJECT_SOURCE_DIR}/ZqUpsApi)
add_test(NAME result_text_c_test COMMAND result_text_c_test)

add_executable(install_path_claim install_path_claim.cpp)
target_link_libraries(install_path_claim PRIVATE ZqUpsTestSupport)

if(ZQUPS_SANITIZE)
  string(REPLACE ";" "," _zq_consumer_sanitizers "${ZQUPS_SANITIZE}")
  set(_zq_consumer_flags "-fsanitize=${_zq_consumer_sanitizers}")
else()
  set(_zq_consumer_flags "")
endif()
if(TARGET ZqUpsSim)
  set(_zq_with_sim 1)
else()
  set(_zq_with_sim 0)
endif()
add_test(NAME install_consumer_test
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/install_consumer.sh
    build=${PROJECT_BINARY_DIR}
    source=${PROJECT_SOURCE_DIR}
    claim=$<TARGET_FILE:install_path_claim>
    libdir=${CMAKE_INSTALL_LIBDIR}
    includedir=${CMAKE_INSTALL_INCLUDEDIR}
    bindir=${CMAKE_INSTALL_BINDIR}
    mandir=${CMAKE_INSTALL_MANDIR}
    datadir=${CMAKE_INSTALL_DATADIR}
    version=${PROJECT_VERSION}
    cc=${CMAKE_C_COMPILER}
    cxx=${CMAKE_CXX_COMPILER}
    flags=${_zq_consumer_flags}
    sim=${_zq_with_sim})
# Building the consumer twice takes a while on a loaded machine.
set_tests_properties(install_consumer_test PROPERTIES
  TIMEOUT 600 RESOURCE_LOCK ${ZQUPS_PATH_LOCK})

add_test(NAME man_pages_test
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/install_man_lint.sh ${PROJECT_SOURCE_DIR}/man)
set_tests_properties(man_pages_test PROPERTIES SKIP_RETURN_CODE 77)
