// The nine exported functions of libkiln-sim.so; everything else in the library is hidden.

#include "applet/kiln.h"
#include "sim/applet/library.h"

using kilnsim::KilnFunction;
using kilnsim::SimLibrary;

// The library is built with hidden visibility; only these leave it.
#pragma GCC visibility push(default)
extern "C" {

KILN_STATUS KILN_Initialize(KILN_HANDLE* handle, void* context, uint32_t flags) {
  return SimLibrary::Instance().Initialize(handle, context, flags);
}

KILN_STATUS KILN_Deinit(KILN_HANDLE handle) { return SimLibrary::Instance().Deinit(handle); }

KILN_STATUS KILN_GetVersionInfo(KILN_HANDLE handle, KILN_VERSION_INFO* versionInfo) {
  return SimLibrary::Instance().GetVersionInfo(handle, versionInfo);
}

KILN_STATUS KILN_Install2(KILN_HANDLE handle, const char* appletId, const char* appletPath) {
  return SimLibrary::Instance().Install2(handle, appletId, appletPath);
}

KILN_STATUS KILN_Uninstall(KILN_HANDLE handle, const char* appletId) {
  return SimLibrary::Instance().Uninstall(handle, appletId);
}

KILN_STATUS KILN_CreateSession(KILN_HANDLE handle, const char* appletId, uint32_t flags,
                               const KILN_INIT_BUFFER* initBuffer, KILN_SESSION_HANDLE* session) {
  return SimLibrary::Instance().CreateSession(handle, appletId, flags, initBuffer, session);
}

KILN_STATUS KILN_CloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session) {
  return SimLibrary::Instance().CloseSession(handle, session, KilnFunction::kCloseSession);
}

KILN_STATUS KILN_ForceCloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session) {
  return SimLibrary::Instance().CloseSession(handle, session, KilnFunction::kForceCloseSession);
}

KILN_STATUS KILN_SendAndRecv2(KILN_HANDLE handle, KILN_SESSION_HANDLE session, uint32_t commandId,
                              KILN_COMM_BUFFER* buffer, uint32_t* responseCode) {
  return SimLibrary::Instance().SendAndRecv2(handle, session, commandId, buffer, responseCode);
}

}  // extern "C"
#pragma GCC visibility pop
