# Encoders and small helpers, the configuration store, text dictionaries and conversion.
qm_add_gtest(encoders_test SOURCES encoders_test.cpp LIBS qmutil)
qm_add_gtest(vesconf_test SOURCES vesconf_test.cpp LIBS qmutil)
qm_add_gtest(textdict_test SOURCES textdict_test.cpp LIBS qmutil)
