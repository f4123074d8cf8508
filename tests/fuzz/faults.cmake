# Fuzz targets for the report handler, the numeric edit's key filter and the
# configuration and language files.
zk_fuzz(fuzz_report_handler SOURCES ${ZK_FUZZ_DIR}/ReportHandlerFuzz.cpp ${ZK_FUZZ_DIR}/FontCacheLeak.cpp
  LIBS app util)
zk_fuzz(fuzz_numedit_keys SOURCES ${ZK_FUZZ_DIR}/NumEditKeysFuzz.cpp ${ZK_FUZZ_DIR}/FontCacheLeak.cpp
  LIBS numedit)
zk_fuzz(fuzz_config_files SOURCES ${ZK_FUZZ_DIR}/ConfigFilesFuzz.cpp ${ZK_FUZZ_DIR}/FontCacheLeak.cpp
  LIBS app)
