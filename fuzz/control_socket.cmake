# The administrators' control socket: its request-line parser, and a real server in a temporary
# runtime directory splitting a connection's bytes into lines.
set(control_socket_log_sources
  ${PROJECT_SOURCE_DIR}/log/backends.cc
  ${PROJECT_SOURCE_DIR}/log/logger.cc)
set(control_socket_log_headers
  ${PROJECT_SOURCE_DIR}/log/backends.h
  ${PROJECT_SOURCE_DIR}/log/event_logger.h
  ${PROJECT_SOURCE_DIR}/log/logger.h)
keystone_fuzz_target(control_socket RUNS 60000 MAX_LEN 4096
                     SOURCES ${PROJECT_SOURCE_DIR}/platform/posix/control_socket.cc
                             ${PROJECT_SOURCE_DIR}/platform/posix/paths.cc
                             ${PROJECT_SOURCE_DIR}/platform/posix/unix_socket.cc
                             ${control_socket_log_sources}
                     DEPENDS ${PROJECT_SOURCE_DIR}/platform/posix/control_socket.h
                             ${PROJECT_SOURCE_DIR}/platform/control_client.h
                             ${PROJECT_SOURCE_DIR}/platform/service_host.h
                             ${PROJECT_SOURCE_DIR}/platform/paths.h
                             ${PROJECT_SOURCE_DIR}/platform/posix/error.h
                             ${PROJECT_SOURCE_DIR}/platform/posix/poll_timeout.h
                             ${PROJECT_SOURCE_DIR}/platform/unix_socket.h
                             ${control_socket_log_headers}
                     CORPUS_LIBS keystone_platform keystone_log)
