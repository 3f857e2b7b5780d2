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
