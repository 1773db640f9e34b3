# Model code decoding and the model translation table of the discovery command.
qm_add_gtest(models_test SOURCES decodemodel_test.cpp transtable_test.cpp LIBS qmdiscovery)
