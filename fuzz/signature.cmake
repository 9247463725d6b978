# What the engine takes from outside before it starts a desktop program or loads a plug-in: a
# client's SID text, and a detached signature file verified over a fixed file.
keystone_fuzz_target(signature RUNS 10000 MAX_LEN 4096
                     SOURCES ${PROJECT_SOURCE_DIR}/platform/sid.cc
                             ${PROJECT_SOURCE_DIR}/platform/posix/signed_file_verifier.cc
                     DEPENDS ${PROJECT_SOURCE_DIR}/platform/sid.h
                             ${PROJECT_SOURCE_DIR}/platform/signed_file_verifier.h
                             ${PROJECT_SOURCE_DIR}/platform/posix/verified_content.h
                             ${PROJECT_SOURCE_DIR}/platform/posix/unique_fd.h
                             ${PROJECT_SOURCE_DIR}/platform/posix/error.h
                             ${CMAKE_CURRENT_SOURCE_DIR}/signature_fuzz_content.h
                     CORPUS_LIBS keystone_platform OpenSSL::Crypto
                     LIBS -lcrypto)
