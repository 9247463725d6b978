# Certificate handling: readers, card keys, chains, bundles, the revocation-list cache.
list(APPEND smartcard_sources
  ${CMAKE_CURRENT_LIST_DIR}/cert_factory.cc
  ${CMAKE_CURRENT_LIST_DIR}/cert_openssl.cc
  ${CMAKE_CURRENT_LIST_DIR}/certificate_store_handler.cc
  ${CMAKE_CURRENT_LIST_DIR}/crl_cache.cc
  ${CMAKE_CURRENT_LIST_DIR}/smartcard_certificate_handler.cc)
list(APPEND smartcard_deps OpenSSL::Crypto)
