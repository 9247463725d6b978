#pragma once

// The C interface between the engine and a BLE bridge library (docs/ble-bridge.md). A bridge is
// a shared library installed beside the engine that exports one function:
//
//   KeystoneBleGattInstance* CreateBleGattInstance(const KeystoneBleLogSink* sink);
//
// It returns the library's object (null on failure), which the engine never frees; the sink stays
// valid for the life of the process and may be called from any of the library's threads. The
// object's calls, in slot order, are the table KeystoneBleGattCalls. Devices cross the interface
// as 552-byte records: the name (UTF-16, NUL-terminated, at most 255 characters), the address
// (UTF-16, NUL-terminated, "AA:BB:CC:DD:EE:FF"), the authenticated flag and the BLE flag.
// Calls return a result: 0 or more is success (a handle, a length), the KEYSTONE_BLE_RESULT_*
// values are failures, and any other negative value is a failure of the library's own.
//
// The engine's calls into one object may come from several threads at once; the library
// serialises what it must.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KEYSTONE_BLE_ABI_VERSION 1u
#define KEYSTONE_BLE_FACTORY_SYMBOL "CreateBleGattInstance"

#define KEYSTONE_BLE_NAME_CHARS 256    /* 255 characters and the NUL */
#define KEYSTONE_BLE_ADDRESS_CHARS 19  /* 17 characters and the NUL, one spare */
#define KEYSTONE_BLE_SCAN_RECORDS 10   /* records the engine offers to one scan */
#define KEYSTONE_BLE_RECEIVE_BUFFER 2048

#define KEYSTONE_BLE_RESULT_CONNECTION_FAILED (-255)
#define KEYSTONE_BLE_RESULT_SERVICE_NOT_FOUND (-254)
#define KEYSTONE_BLE_RESULT_TIMEOUT (-253)
/* An RSSI of this value means the link is gone. */
#define KEYSTONE_BLE_RSSI_NO_LINK (-127)

typedef struct KeystoneBleDeviceRecord {
  uint16_t name[KEYSTONE_BLE_NAME_CHARS];
  uint16_t address[KEYSTONE_BLE_ADDRESS_CHARS];
  uint8_t authenticated;
  uint8_t isBle;
} KeystoneBleDeviceRecord;

/* Log levels as the engine's: 0 information, 1 warning, 2 error, 3 critical. */
typedef struct KeystoneBleLogSink {
  void* context;
  void (*writeLog)(void* context, int32_t level, const char* text);
} KeystoneBleLogSink;

typedef struct KeystoneBleGattCalls {
  /* 0: fills at most *count records; *count becomes the number filled. value is the engine's
     scan argument, passed through. */
  int32_t (*scan)(void* self, uint32_t value, KeystoneBleDeviceRecord* records, uint32_t* count);
  /* 1: returns the connection handle (0 or more) or a result code. */
  int32_t (*connect)(void* self, const KeystoneBleDeviceRecord* device);
  /* 2 */
  int32_t (*disconnect)(void* self, uint32_t handle);
  /* 3 */
  int32_t (*send)(void* self, uint32_t handle, const uint8_t* data, uint32_t length);
  /* 4: waits up to timeoutMs for one message; returns its length (at most bufferSize) or a
     result code. */
  int32_t (*receive)(void* self, uint32_t handle, uint8_t* buffer, uint32_t bufferSize,
                     uint32_t timeoutMs);
  /* 5: the link's RSSI in dBm, or KEYSTONE_BLE_RSSI_NO_LINK. */
  int16_t (*rssi)(void* self, const KeystoneBleDeviceRecord* device);
  /* 6 to 11 */
  void (*setup)(void* self);
  void (*tearDown)(void* self);
  void (*sessionUnlocked)(void* self);
  void (*sessionLocked)(void* self);
  void (*userDataUpdated)(void* self);
  void (*userDataCleared)(void* self);
} KeystoneBleGattCalls;

typedef struct KeystoneBleGattInstance {
  uint32_t abiVersion; /* KEYSTONE_BLE_ABI_VERSION */
  uint32_t size;       /* sizeof(KeystoneBleGattInstance) */
  const KeystoneBleGattCalls* calls;
  void* self;
} KeystoneBleGattInstance;

typedef KeystoneBleGattInstance* (*KeystoneBleFactory)(const KeystoneBleLogSink* sink);

#ifdef __cplusplus
}  // extern "C"

static_assert(sizeof(KeystoneBleDeviceRecord) == 552);
static_assert(offsetof(KeystoneBleDeviceRecord, address) == 512);
static_assert(offsetof(KeystoneBleDeviceRecord, authenticated) == 550);
static_assert(offsetof(KeystoneBleDeviceRecord, isBle) == 551);
#endif
