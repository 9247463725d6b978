# The registry mirror's decoders of the applet's policy and user-data replies.
keystone_fuzz_target(mirror_records RUNS 60000 MAX_LEN 8192
                     SOURCES ${PROJECT_SOURCE_DIR}/storage/mirror_records.cc
                             ${PROJECT_SOURCE_DIR}/platform/registry.cc
                             ${PROJECT_SOURCE_DIR}/platform/registry_path.cc
                             ${PROJECT_SOURCE_DIR}/platform/account_names.cc
                             ${PROJECT_SOURCE_DIR}/log/logger.cc ${PROJECT_SOURCE_DIR}/log/backends.cc
                             ${PROJECT_SOURCE_DIR}/tlv/tlv.cc
                     DEPENDS ${PROJECT_SOURCE_DIR}/storage/mirror_records.h
                             ${PROJECT_SOURCE_DIR}/tlv/applet_tags.h
                     CORPUS_LIBS kiln_sim_core keystone_tlv)
