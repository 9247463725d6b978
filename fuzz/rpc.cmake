# The RPC protocol: the server's frame reader, every operation's request decoding in its server
# stub, and the client library's request encoding and reply decoding.
set(rpc_fuzz_headers
  ${PROJECT_SOURCE_DIR}/rpc/engine_operations.h
  ${PROJECT_SOURCE_DIR}/rpc/engine_rpc_operations.h
  ${PROJECT_SOURCE_DIR}/rpc/frame_io.h
  ${PROJECT_SOURCE_DIR}/rpc/marshal.h
  ${PROJECT_SOURCE_DIR}/rpc/operation_table.h
  ${PROJECT_SOURCE_DIR}/rpc/protocol.h
  ${PROJECT_SOURCE_DIR}/rpc/rpc_server.h
  ${PROJECT_SOURCE_DIR}/rpc/server.h)
keystone_fuzz_target(rpc RUNS 120000 MAX_LEN 8192
                     SOURCES ${PROJECT_SOURCE_DIR}/rpc/protocol.cc ${PROJECT_SOURCE_DIR}/rpc/frame_io.cc
                             ${PROJECT_SOURCE_DIR}/rpc/stubs.cc
                             ${PROJECT_SOURCE_DIR}/platform/posix/unix_socket.cc
                             ${PROJECT_SOURCE_DIR}/platform/posix/paths.cc
                     DEPENDS ${rpc_fuzz_headers} ${PROJECT_SOURCE_DIR}/platform/unix_socket.h
                             ${PROJECT_SOURCE_DIR}/platform/paths.h
                             ${PROJECT_SOURCE_DIR}/platform/posix/error.h
                             ${PROJECT_SOURCE_DIR}/platform/posix/poll_timeout.h
                             ${CMAKE_CURRENT_SOURCE_DIR}/rpc_fuzz_calls.h
                     CORPUS_LIBS keystone_rpc keystone_tlv)
