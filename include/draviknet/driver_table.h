/* DravikNet driver: the function table a host reads from the loaded library.
 *
 * The library exports one data symbol, DrvFuncTable: 32 pointer slots, 0..16
 * in use, 17..31 null. Cast slot N to the function pointer type below. All
 * integers are 32-bit, strings narrow and zero-terminated (UTF-8 on Linux).
 * Every slot runs on the host's calling thread; slot 1 must not run at the
 * same time as any other slot. No slot throws.
 *
 * "Refused" results are returned for an instance handle below 0 or not below
 * the number of instances created. */
#ifndef DRAVIKNET_DRIVER_TABLE_H
#define DRAVIKNET_DRIVER_TABLE_H

#ifdef __cplusplus
#include <string>
class CTagVal;
typedef CTagVal DrvTagValue;      /* the host support library's CTagVal */
typedef std::string DrvString;    /* the host support library's CString */
extern "C" {
#else
typedef struct DrvTagValue DrvTagValue;
typedef struct DrvString DrvString;
#endif

enum {
  DRV_SLOT_VERSION = 0,          /* int (void): 0x10000 */
  DRV_SLOT_CREATE = 1,           /* handle or -1 (message 5 logged) */
  DRV_SLOT_EDIT = 2,             /* 1 when the user saved in the editor, else 0 */
  DRV_SLOT_PREPARE = 3,          /* 0, or the reporter's result for message 4. Refused: 0 */
  DRV_SLOT_BUILD_REQUESTS = 4,   /* 0. Refused: 0 */
  DRV_SLOT_STOP = 5,             /* 0. Refused: 0 */
  DRV_SLOT_BIND_TAG = 6,         /* tag handle or -1. Refused: -1 */
  DRV_SLOT_WRITE_TAG = 7,        /* 0, or the reporter's result for message 15. Refused: 0 */
  DRV_SLOT_RESERVED_8 = 8,       /* 0 */
  DRV_SLOT_RESERVED_9 = 9,       /* 1 */
  DRV_SLOT_RESERVED_10 = 10,     /* nothing */
  DRV_SLOT_RESERVED_11 = 11,     /* nothing */
  DRV_SLOT_NAME = 12,            /* "Dravik RS232/422" */
  DRV_SLOT_SET_RUN_STATE = 13,   /* null name: start (1) / stop (0); name: enable flag */
  DRV_SLOT_RESET_COUNTERS = 14,  /* one station or (null) all */
  DRV_SLOT_GET_STATISTICS = 15,  /* status; Refused: -1 */
  DRV_SLOT_STATION_TEXTS = 16,   /* "%02d" number and description */
  DRV_SLOT_COUNT = 32
};

typedef int (*DrvGetVersionFn)(void);
typedef int (*DrvCreateInstanceFn)(const char* project_path);
typedef int (*DrvEditConfigFn)(const char* project_path);
typedef int (*DrvPrepareCommFn)(int instance);
typedef int (*DrvBuildTagRequestsFn)(int instance);
typedef int (*DrvStopFn)(int instance);
typedef int (*DrvBindTagFn)(int instance, const char* device, const char* address, int data_type,
                            int bit_or_length, int host_tag_id);
typedef int (*DrvWriteTagFn)(int instance, int tag_handle, DrvTagValue* value);
typedef int (*DrvReserved8Fn)(void);
typedef int (*DrvReserved9Fn)(void);
typedef void (*DrvReserved10Fn)(void);
typedef void (*DrvReserved11Fn)(void);
typedef const char* (*DrvGetNameFn)(void);
typedef void (*DrvSetRunStateFn)(int instance, const char* station, int state);
typedef void (*DrvResetCountersFn)(int instance, const char* station);
typedef int (*DrvGetStatisticsFn)(int instance, const char* station, int* writes_sent,
                                  int* writes_failed, int* reads_sent, int* reads_failed);
typedef void (*DrvGetStationTextsFn)(int instance, const char* station, DrvString* number_text,
                                     DrvString* description);

/* The exported table: look it up with dlsym(handle, "DrvFuncTable"). */
typedef void* DrvFuncTableType[DRV_SLOT_COUNT];

/* What the table's contract rests on, on every target (x86-64, armhf,
 * arm64): slot integers, instance and tag handles are 32-bit ints, and a
 * function's address survives the round trip through a void* slot. */
#ifdef __cplusplus
static_assert(sizeof(int) == 4, "slot integers and tag handles are 32-bit");
static_assert(sizeof(DrvBindTagFn) == sizeof(void*), "a slot holds a function pointer");
#else
_Static_assert(sizeof(int) == 4, "slot integers and tag handles are 32-bit");
_Static_assert(sizeof(DrvBindTagFn) == sizeof(void*), "a slot holds a function pointer");
#endif

/* The editor library's one entry (libdraviknet-editor.so). */
typedef int (*DrvEditorEntryFn)(const char* project_path);
#define DRAVIKNET_EDITOR_ENTRY "DravikNetEditConfig"

#ifdef __cplusplus
}
#endif

#endif
