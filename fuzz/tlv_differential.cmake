# The codec against the reference reader and writer kept in the target, over the TLV target's
# sources and seed corpus (codec_sources.cmake and tlv.cmake).
keystone_fuzz_target(tlv_differential RUNS 200000 MAX_LEN 4096
                     SOURCES ${tlv_fuzz_sources} ${PROJECT_SOURCE_DIR}/common/hex.cc
                     DEPENDS ${tlv_fuzz_headers} ${PROJECT_SOURCE_DIR}/common/hex.h
                     CORPUS_LIBS keystone_tlv BUILD_TIMEOUT 600
                     CORPUS_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/tlv_seed_corpus.cc)
