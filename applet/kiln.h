/*
 * The host-interface library of the trusted execution environment ("KILN"): the C ABI that a
 * vendor library, or the simulated applet libkiln-sim.so, exports. The engine loads the library
 * with dlopen on first use and resolves these nine symbols.
 *
 * Every function returns a KILN_STATUS: 0 on success, otherwise one of the codes below (or any
 * other vendor code, which callers treat by its numeric class).
 */
#ifndef KEYSTONE_APPLET_KILN_H_
#define KEYSTONE_APPLET_KILN_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t KILN_STATUS;
typedef void* KILN_HANDLE;
typedef void* KILN_SESSION_HANDLE;

enum {
  KILN_STATUS_SUCCESS = 0x0000,
  /* Known transient fault of the library; cured by de-initializing and initializing again. */
  KILN_STATUS_INTERNAL_ERROR = 0x0201,
  /* The channel to the TEE is down or busy; retry later. */
  KILN_STATUS_CONNECTION_ERROR = 0x0300,
  KILN_STATUS_CONNECTION_TIMEOUT = 0x0301,
  KILN_STATUS_INVALID_PARAMETER = 0x0400,
  KILN_STATUS_APPLET_NOT_FOUND = 0x0401,
  /* The applet must be installed (KILN_Install2) before a session can be created. */
  KILN_STATUS_APPLET_NOT_INSTALLED = 0x0402,
  KILN_STATUS_INSUFFICIENT_BUFFER = 0x0403,
  KILN_STATUS_SERVICE_UNAVAILABLE = 0x1004,
  /* The session handle is not (or no longer) known to the library. */
  KILN_STATUS_INVALID_SESSION_HANDLE = 0x100F
};

/* Length of each text array of KILN_VERSION_INFO, the terminating NUL included. */
enum { KILN_VERSION_TEXT_SIZE = 50 };

typedef struct KILN_VERSION_INFO {
  char platformVersion[KILN_VERSION_TEXT_SIZE]; /* NUL-terminated */
  char firmwareVersion[KILN_VERSION_TEXT_SIZE]; /* NUL-terminated, e.g. "12.0.45.1509" */
} KILN_VERSION_INFO;

/* The session-initialisation bytes handed to KILN_CreateSession. */
typedef struct KILN_INIT_BUFFER {
  const uint8_t* data;
  uint32_t length;
} KILN_INIT_BUFFER;

/* One exchange: the request, and the caller's receive buffer whose length the library replaces
 * with the number of bytes it wrote. */
typedef struct KILN_COMM_BUFFER {
  const uint8_t* sendBuffer;
  uint32_t sendLength;
  uint8_t* receiveBuffer;
  uint32_t receiveLength;
} KILN_COMM_BUFFER;

/* Flags of KILN_CreateSession. */
enum { KILN_SESSION_FLAG_DEFAULT = 1 };

KILN_STATUS KILN_Initialize(KILN_HANDLE* handle, void* context, uint32_t flags);
KILN_STATUS KILN_Deinit(KILN_HANDLE handle);
KILN_STATUS KILN_GetVersionInfo(KILN_HANDLE handle, KILN_VERSION_INFO* versionInfo);
/* appletPath is UTF-8. */
KILN_STATUS KILN_Install2(KILN_HANDLE handle, const char* appletId, const char* appletPath);
KILN_STATUS KILN_Uninstall(KILN_HANDLE handle, const char* appletId);
KILN_STATUS KILN_CreateSession(KILN_HANDLE handle, const char* appletId, uint32_t flags,
                               const KILN_INIT_BUFFER* initBuffer, KILN_SESSION_HANDLE* session);
KILN_STATUS KILN_CloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session);
KILN_STATUS KILN_ForceCloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session);
/* commandId: 0 queued requests, 1 idle continuation-cache clear, 2 security-version upgrade. */
KILN_STATUS KILN_SendAndRecv2(KILN_HANDLE handle, KILN_SESSION_HANDLE session, uint32_t commandId,
                              KILN_COMM_BUFFER* buffer, uint32_t* responseCode);

#ifdef __cplusplus
}
#endif

#endif /* KEYSTONE_APPLET_KILN_H_ */
