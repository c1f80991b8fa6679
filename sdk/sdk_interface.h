/* The sensor library's binary interface: one exported entry point that hands out operations by
 * 32-bit id, the signatures of the operations the program calls, and the text type that crosses
 * the library boundary. Any shared library that exports `QueryInterface` with these semantics
 * can stand behind the program. Plain C so that a library in any language can implement it.
 */
#ifndef TQV_SDK_INTERFACE_H
#define TQV_SDK_INTERFACE_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Texts ---------------------------------------------------------------------------------
 * A library returns names as `SdkText`: a NUL-terminated 8-bit string whose 32-bit byte length
 * is stored just before its first character, allocated with the C library's malloc. Whoever
 * receives a text owns it and releases it with SdkTextFree; both sides share the process's one
 * C heap, so the library and the program may free each other's texts.
 */
typedef char* SdkText;

static inline SdkText SdkTextAllocN(const char* s, uint32_t length) {
    char* block = (char*)malloc(sizeof(uint32_t) + (size_t)length + 1u);
    if (!block)
        return NULL;
    memcpy(block, &length, sizeof length);
    if (length)
        memcpy(block + sizeof(uint32_t), s, length);
    block[sizeof(uint32_t) + length] = '\0';
    return block + sizeof(uint32_t);
}

static inline SdkText SdkTextAlloc(const char* s) {
    return s ? SdkTextAllocN(s, (uint32_t)strlen(s)) : NULL;
}

static inline uint32_t SdkTextLength(const SdkText text) {
    uint32_t length = 0;
    if (text)
        memcpy(&length, text - sizeof(uint32_t), sizeof length);
    return length;
}

static inline void SdkTextFree(SdkText text) {
    if (text)
        free(text - sizeof(uint32_t));
}

/* ---- Kinds ---------------------------------------------------------------------------------- */
enum {
    SDK_SENSOR_TEMPERATURE = 0x2000, /* degrees Celsius */
    SDK_SENSOR_FAN = 0x3000,         /* RPM */
    SDK_SENSOR_POWER = 0x5000,       /* W */
    SDK_SENSOR_LOAD = 0xE000,        /* percent */
    SDK_SENSOR_CLOCK = 0xF000,       /* MHz */
    SDK_SENSOR_ANY = -1
};

enum {
    SDK_DEVICE_PROCESSOR = 4,
    SDK_DEVICE_DRIVE = 16,
    SDK_DEVICE_GRAPHICS = 32,
    SDK_DEVICE_MAINBOARD = 1024
};

enum { SDK_MEM_DDR3 = 9, SDK_MEM_DDR4 = 10, SDK_MEM_DDR4_ALT = 11 };

/* ---- The entry point ------------------------------------------------------------------------ */
#define SDK_ENTRY_POINT_NAME "QueryInterface"
typedef void* (*SdkQueryInterfaceFn)(uint32_t id);

/* The operation table has 174 entries; these are the ids of the entries the program calls. */
#define SDK_ENTRY_COUNT 174

#define SDK_ID_CREATE 0xB05160A2u
#define SDK_ID_DESTROY 0x834B0696u
#define SDK_ID_START 0x36886D10u
#define SDK_ID_STOP 0x7E4EFC9Du
#define SDK_ID_UPDATE 0x7C16F82Du
#define SDK_ID_POST_INIT 0xAB1B5636u
#define SDK_ID_CPU_TEMP 0xFF61FEC3u
#define SDK_ID_MEM_KIND 0x6162C2C5u
#define SDK_ID_MEM_MEGABYTES 0xE09BC137u
#define SDK_ID_MEM_TEXT 0xFFDBFFB7u
#define SDK_ID_DEVICE_TOTAL 0xDA15B42Bu
#define SDK_ID_DEVICE_KIND 0xC56F8ADFu
#define SDK_ID_DEVICE_LABEL 0xDE43BC87u
#define SDK_ID_SENSOR_TOTAL 0x68D2D1A5u
#define SDK_ID_SENSOR_READ 0x837306E6u

/* Entry positions of those operations in the 174-entry table. */
enum {
    SDK_ENTRY_CREATE = 0,
    SDK_ENTRY_DESTROY = 1,
    SDK_ENTRY_START = 2,
    SDK_ENTRY_STOP = 3,
    SDK_ENTRY_UPDATE = 4,
    SDK_ENTRY_POST_INIT = 5,
    SDK_ENTRY_CPU_TEMP = 34,
    SDK_ENTRY_MEM_KIND = 42,
    SDK_ENTRY_MEM_MEGABYTES = 43,
    SDK_ENTRY_MEM_TEXT = 91,
    SDK_ENTRY_DEVICE_TOTAL = 164,
    SDK_ENTRY_DEVICE_KIND = 165,
    SDK_ENTRY_DEVICE_LABEL = 166,
    SDK_ENTRY_SENSOR_TOTAL = 168,
    SDK_ENTRY_SENSOR_READ = 169
};

/* ---- Operation signatures --------------------------------------------------------------------
 * Every operation but SdkCreate takes the instance handle first.
 */
typedef int32_t SdkHandle;

typedef SdkHandle (*SdkCreateFn)(void);
typedef void (*SdkDestroyFn)(SdkHandle sdk);
/* folder and file name as 8-bit text; flags is 0x7FFFFFFF; two 32-bit outputs. */
typedef int32_t (*SdkStartFn)(SdkHandle sdk, const char* folder, const char* fileName,
                              int32_t flags, int32_t* out1, int32_t* out2);
typedef void (*SdkStopFn)(SdkHandle sdk);
typedef void (*SdkUpdateFn)(SdkHandle sdk);
typedef void (*SdkPostInitFn)(SdkHandle sdk, int32_t* out);
/* A second processor temperature source, degrees Celsius; the argument is 0. */
typedef float (*SdkCpuTempFn)(SdkHandle sdk, int32_t index);
typedef int32_t (*SdkMemKindFn)(SdkHandle sdk);
/* Installed memory in MB, -1 when unknown. */
typedef int32_t (*SdkMemMegabytesFn)(SdkHandle sdk);
/* The memory text (module maker), or null; the argument is 0. */
typedef SdkText (*SdkMemTextFn)(SdkHandle sdk, int32_t index);
typedef int32_t (*SdkDeviceTotalFn)(SdkHandle sdk);
typedef int32_t (*SdkDeviceKindFn)(SdkHandle sdk, int32_t device);
typedef SdkText (*SdkDeviceLabelFn)(SdkHandle sdk, int32_t device);
/* Number of sensors of `kind` on `device`; kind -1 counts every kind. */
typedef int32_t (*SdkSensorTotalFn)(SdkHandle sdk, int32_t device, int32_t kind);
/* Reads sensor `index` of `kind` on `device`. Nonzero when the reading is valid. `name`, when
 * set, receives a text the caller releases; `value` receives the reading in the kind's unit;
 * `out1`, `out2`, `minimum` and `maximum` are informational. Any output pointer may be null. */
typedef int32_t (*SdkSensorReadFn)(SdkHandle sdk, int32_t device, int32_t index, int32_t kind,
                                   int32_t* out1, SdkText* name, int32_t* out2, float* value,
                                   float* minimum, float* maximum);

#ifdef __cplusplus
}
#endif

#endif /* TQV_SDK_INTERFACE_H */
