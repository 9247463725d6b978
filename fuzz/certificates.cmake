# What the smart-card handling reads from the registry and the network: certs-only PKCS#7
# bundles (a user's stored bundle), revocation lists (downloads and the cache's files) and the
# certificates inside both.
keystone_fuzz_target(certificates RUNS 20000 MAX_LEN 16384
                     SOURCES ${PROJECT_SOURCE_DIR}/smartcard/certificate_store_handler.cc
                             ${PROJECT_SOURCE_DIR}/smartcard/cert_openssl.cc
                             ${PROJECT_SOURCE_DIR}/platform/clock.cc
                             ${PROJECT_SOURCE_DIR}/log/logger.cc ${PROJECT_SOURCE_DIR}/log/backends.cc
                     DEPENDS ${PROJECT_SOURCE_DIR}/smartcard/certificate_store_handler.h
                             ${PROJECT_SOURCE_DIR}/smartcard/cert_openssl.h
                             ${PROJECT_SOURCE_DIR}/smartcard/cert_crl_source.h
                             ${PROJECT_SOURCE_DIR}/smartcard/exceptions.h
                     CORPUS_LIBS keystone_test_fakes OpenSSL::Crypto
                     LIBS -lcrypto)
