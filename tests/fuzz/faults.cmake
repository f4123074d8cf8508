# Fuzz targets for the report handler, the numeric edit's key filter and the
# configuration and language files.
zk_fuzz(fuzz_report_handler SOURCES ${ZK_FUZZ_DIR}/ReportHandlerFuzz.cpp
  LIBS app util test_leak_suppressions)
zk_fuzz(fuzz_numedit_keys SOURCES ${ZK_FUZZ_DIR}/NumEditKeysFuzz.cpp
  LIBS numedit test_leak_suppressions)
zk_fuzz(fuzz_config_files SOURCES ${ZK_FUZZ_DIR}/ConfigFilesFuzz.cpp
  LIBS app test_leak_suppressions)
