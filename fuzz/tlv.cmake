# The codec: ParseTlv, the envelope, the metadata and every catalogue class's Deserialize.
set(tlv_fuzz_sources
  ${PROJECT_SOURCE_DIR}/tlv/catalogue.cc
  ${PROJECT_SOURCE_DIR}/tlv/client_messages.cc
  ${PROJECT_SOURCE_DIR}/tlv/discovery_messages.cc
  ${PROJECT_SOURCE_DIR}/tlv/host_messages.cc
  ${PROJECT_SOURCE_DIR}/tlv/message.cc
  ${PROJECT_SOURCE_DIR}/tlv/metadata.cc
  ${PROJECT_SOURCE_DIR}/tlv/record.cc
  ${PROJECT_SOURCE_DIR}/tlv/smart_card_messages.cc
  ${PROJECT_SOURCE_DIR}/tlv/status_messages.cc
  ${PROJECT_SOURCE_DIR}/tlv/tlv.cc)
set(tlv_fuzz_headers
  ${PROJECT_SOURCE_DIR}/tlv/applet_tags.h
  ${PROJECT_SOURCE_DIR}/tlv/catalogue.h
  ${PROJECT_SOURCE_DIR}/tlv/client_messages.h
  ${PROJECT_SOURCE_DIR}/tlv/discovery_messages.h
  ${PROJECT_SOURCE_DIR}/tlv/host_messages.h
  ${PROJECT_SOURCE_DIR}/tlv/message.h
  ${PROJECT_SOURCE_DIR}/tlv/message_types.h
  ${PROJECT_SOURCE_DIR}/tlv/messages.h
  ${PROJECT_SOURCE_DIR}/tlv/metadata.h
  ${PROJECT_SOURCE_DIR}/tlv/piggyback_block.h
  ${PROJECT_SOURCE_DIR}/tlv/record.h
  ${PROJECT_SOURCE_DIR}/tlv/smart_card_messages.h
  ${PROJECT_SOURCE_DIR}/tlv/status_messages.h
  ${PROJECT_SOURCE_DIR}/tlv/tlv.h)
keystone_fuzz_target(tlv RUNS 200000 MAX_LEN 4096
                     SOURCES ${tlv_fuzz_sources} ${PROJECT_SOURCE_DIR}/common/hex.cc
                     DEPENDS ${tlv_fuzz_headers} ${PROJECT_SOURCE_DIR}/common/hex.h
                     CORPUS_LIBS keystone_tlv BUILD_TIMEOUT 600)
