# ZqUpsCtl: the reading it stands on and its event rules on their own, and
# the program against the built simulator or a scripted service (every
# command, its exit statuses, signals, hooks and the drill).
if(TARGET ZqUpsCtl)
  zq_add_gtest(ctl_test SOURCES ctl_test.cpp LIBS ZqUpsCtlCore PATH TIMEOUT 300)
  target_compile_definitions(ctl_test PRIVATE
    ZQUPSCTL_PATH="$<TARGET_FILE:ZqUpsCtl>"
    ZQUPSSIM_PATH="$<TARGET_FILE:ZqUpsSim>"
    ZQUPSSIM_PROFILES="${PROJECT_SOURCE_DIR}/ZqUpsSim/profiles")
  add_dependencies(ctl_test ZqUpsCtl ZqUpsSim)
endif()
