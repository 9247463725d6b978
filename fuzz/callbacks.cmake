# The callbacks a client serves: the engine's reading of a client's answers and the serving
# side's reading of the engine's requests, over real sockets.
set(callbacks_fuzz_headers
  ${PROJECT_SOURCE_DIR}/rpc/callback_table.h
  ${PROJECT_SOURCE_DIR}/rpc/client/callback_server.h
  ${PROJECT_SOURCE_DIR}/rpc/frame_io.h
  ${PROJECT_SOURCE_DIR}/rpc/marshal.h
  ${PROJECT_SOURCE_DIR}/rpc/operation_table.h
  ${PROJECT_SOURCE_DIR}/rpc/protocol.h
  ${PROJECT_SOURCE_DIR}/rpc/server_to_client.h
  ${PROJECT_SOURCE_DIR}/platform/unix_socket.h
  ${PROJECT_SOURCE_DIR}/platform/paths.h
  ${PROJECT_SOURCE_DIR}/platform/sid.h
  ${PROJECT_SOURCE_DIR}/platform/posix/error.h
  ${PROJECT_SOURCE_DIR}/platform/posix/poll_timeout.h
  ${PROJECT_SOURCE_DIR}/log/backends.h
  ${PROJECT_SOURCE_DIR}/log/logger.h)
keystone_fuzz_target(callbacks RUNS 20000 MAX_LEN 4096
                     SOURCES ${PROJECT_SOURCE_DIR}/rpc/protocol.cc ${PROJECT_SOURCE_DIR}/rpc/frame_io.cc
                             ${PROJECT_SOURCE_DIR}/rpc/server_to_client.cc
                             ${PROJECT_SOURCE_DIR}/rpc/client/callback_server.cc
                             ${PROJECT_SOURCE_DIR}/platform/posix/unix_socket.cc
                             ${PROJECT_SOURCE_DIR}/platform/posix/paths.cc
                             ${PROJECT_SOURCE_DIR}/platform/sid.cc
                             ${PROJECT_SOURCE_DIR}/log/backends.cc
                             ${PROJECT_SOURCE_DIR}/log/logger.cc
                     DEPENDS ${callbacks_fuzz_headers}
                     CORPUS_LIBS keystone_rpc)
