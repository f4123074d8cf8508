zk_fuzz(fuzz_message_for_code SOURCES ${ZK_FUZZ_DIR}/MessageForCodeFuzz.cpp LIBS errors)
