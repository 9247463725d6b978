# The codec: ParseTlv, the envelope, the metadata and every catalogue class's Deserialize.
keystone_fuzz_target(tlv RUNS 200000 MAX_LEN 4096
                     SOURCES ${tlv_fuzz_sources} ${PROJECT_SOURCE_DIR}/common/hex.cc
                     DEPENDS ${tlv_fuzz_headers} ${PROJECT_SOURCE_DIR}/common/hex.h
                     CORPUS_LIBS keystone_tlv BUILD_TIMEOUT 600)
