/*
 * kvdepth: driver library for structured-light depth cameras over USB and Ethernet.
 *
 * Every function returns a KV_STATUS (0 on success, a negative code below on failure) unless noted.
 * Records are plain C structures that the caller allocates; their sizes and offsets are fixed.
 * Call _KVInitLib first and KVDeinitLib last. Callbacks run on library threads.
 */
#ifndef KVDEPTH_H
#define KVDEPTH_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifndef KV_EXPORT
#define KV_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- status codes */

typedef int32_t KV_STATUS;

#define KV_STATUS_OK 0
#define KV_STATUS_ERROR (-1001)             /* "some error" */
#define KV_STATUS_NOT_INITIALIZED (-1002)   /* "not initialized" */
#define KV_STATUS_NOT_IMPLEMENTED (-1003)   /* "not implemented" */
#define KV_STATUS_NOT_PERMITTED (-1004)     /* "not permitted" */
#define KV_STATUS_DEVICE_ERROR (-1005)      /* "device error" */
#define KV_STATUS_INVALID_PARAMETER (-1006) /* "invalid parameter" */
#define KV_STATUS_INVALID_HANDLE (-1007)    /* "invalid device handle" */
#define KV_STATUS_INVALID_COMPONENT (-1008) /* "invalid component" */
#define KV_STATUS_INVALID_FEATURE (-1009)   /* "invalid feature" */
#define KV_STATUS_WRONG_TYPE (-1010)        /* "wrong type" */
#define KV_STATUS_WRONG_SIZE (-1011)        /* "wrong size" */
#define KV_STATUS_OUT_OF_MEMORY (-1012)     /* "out of memory" */
#define KV_STATUS_OUT_OF_RANGE (-1013)      /* "out of range" */
#define KV_STATUS_TIMEOUT (-1014)           /* "timeout" */
#define KV_STATUS_WRONG_MODE (-1015)        /* "wrong mode" */
#define KV_STATUS_BUSY (-1016)              /* "system busy" */
#define KV_STATUS_IDLE (-1017)              /* "system idle" */
#define KV_STATUS_NO_DATA (-1018)           /* "no data" */
#define KV_STATUS_NO_BUFFER (-1019)         /* "no enqueue buffer" */
#define KV_STATUS_NULL_POINTER (-1020)      /* "null pointer" */
#define KV_STATUS_READONLY_FEATURE (-1021)  /* "read only feature" */

/* Raised through the event callback when a device's receive thread stops after an error. */
#define KV_EVENT_DEVICE_OFFLINE (-2001)

/* ---------------------------------------------------------------- identifiers */

/* Transport of a device (KV_DEVICE_BASE_INFO.iface). */
#define KV_INTERFACE_ETHERNET 1
#define KV_INTERFACE_USB 2

/* Component identifiers: one bit each, so sets of components are ORs. */
#define KV_COMPONENT_DEVICE ((int32_t)0x80000000u)
#define KV_COMPONENT_DEPTH 0x00010000
#define KV_COMPONENT_POINT3D 0x00020000
#define KV_COMPONENT_LEFT_IR 0x00040000
#define KV_COMPONENT_RIGHT_IR 0x00080000
#define KV_COMPONENT_COLOR 0x00100000
#define KV_COMPONENT_IMAGE_EXTRA 0x00200000
#define KV_COMPONENT_LASER 0x00400000
#define KV_COMPONENT_AUX_DATA 0x01000000

/* Feature value types: bits 12 to 15 of a feature identifier. */
#define KV_FEATURE_TYPE_MASK 0xf000
#define KV_FEATURE_TYPE_INT 0x1000
#define KV_FEATURE_TYPE_FLOAT 0x2000
#define KV_FEATURE_TYPE_ENUM 0x3000
#define KV_FEATURE_TYPE_BOOL 0x4000
#define KV_FEATURE_TYPE_STRING 0x5000
#define KV_FEATURE_TYPE_BYTEARRAY 0x6000
#define KV_FEATURE_TYPE_STRUCT 0x7000

/* Feature access bits (KV_FEATURE_INFO.accessMode). */
#define KV_ACCESS_READ 1
#define KV_ACCESS_WRITE 2

/* A feature reference: component identifier in bits 16..31, feature identifier in bits 0..15. */
#define KV_FEATURE_REF(component, feature) \
    ((int32_t)(((uint32_t)(component)&0xffff0000u) | ((feature)&0xffff)))

/* Feature identifiers with a fixed meaning in every component that has them. */
#define KV_FEATURE_SERIAL_NUMBER 0x5f00       /* String */
#define KV_FEATURE_VENDOR 0x5f01              /* String */
#define KV_FEATURE_MODEL 0x5f02               /* String */
#define KV_FEATURE_HARDWARE_VERSION 0x5f03    /* String */
#define KV_FEATURE_FIRMWARE_VERSION 0x5f04    /* String */
#define KV_FEATURE_TRIGGER_MODE 0x4200        /* Bool */
#define KV_FEATURE_FRAME_PER_TRIGGER 0x1202   /* Int */
#define KV_FEATURE_PIXEL_FORMAT 0x3107        /* Enum */
#define KV_FEATURE_IMAGE_MODE 0x3108          /* Enum: width in bits 12..23, height in bits 0..11 */
#define KV_FEATURE_INTRINSIC_WIDTH 0x1003     /* Int */
#define KV_FEATURE_INTRINSIC_HEIGHT 0x1004    /* Int */
#define KV_FEATURE_IMAGE_WIDTH 0x1104         /* Int */
#define KV_FEATURE_IMAGE_HEIGHT 0x1105        /* Int */
#define KV_FEATURE_EXPOSURE 0x1301            /* Int */
#define KV_FEATURE_GAIN 0x1303                /* Int */
#define KV_FEATURE_LASER_POWER 0x1500         /* Int */
#define KV_FEATURE_COLOR_GAIN_0 0x1520        /* Int */
#define KV_FEATURE_COLOR_GAIN_1 0x1521        /* Int */
#define KV_FEATURE_COLOR_GAIN_2 0x1522        /* Int */
#define KV_FEATURE_AUTO_EXPOSURE 0x4300       /* Bool */
#define KV_FEATURE_AUTO_GAIN 0x4302           /* Bool */
#define KV_FEATURE_AUTO_WHITE_BALANCE 0x4304  /* Bool */
#define KV_FEATURE_AUTO_LASER 0x4501          /* Bool */
#define KV_FEATURE_UNDISTORT 0x4510           /* Bool */
#define KV_FEATURE_HISTOGRAM 0x4511           /* Bool */
#define KV_FEATURE_INTRINSIC 0x7000           /* Struct: KV_CAMERA_INTRINSIC at the current image size */
#define KV_FEATURE_EXTRINSIC 0x7001           /* Struct: 4x4 float matrix, row by row */
#define KV_FEATURE_EXTRINSIC_2 0x7002         /* Struct: 4x4 float matrix, row by row */
#define KV_FEATURE_STRUCT_7005 0x7005         /* Struct: not implemented */
#define KV_FEATURE_DISTORTION 0x7006          /* Struct: KV_CAMERA_DISTORTION */
#define KV_FEATURE_TRIGGER_MODE_STRUCT 0x7523 /* Struct: KV_TRIGGER_MODE */

/* Pixel format codes (KV_IMAGE_DATA.pixelFormat). */
#define KV_PIXEL_FORMAT_MONO8 0x10080000
#define KV_PIXEL_FORMAT_DEPTH16 0x30100020
#define KV_PIXEL_FORMAT_POINT3D_F32 0x40600030
#define KV_PIXEL_FORMAT_RGB8 0x20180010
#define KV_PIXEL_FORMAT_COLOR_16_A 0x20100011
#define KV_PIXEL_FORMAT_COLOR_16_B 0x20100012
#define KV_PIXEL_FORMAT_COLOR_8_TO_24 0x20180013

/* ---------------------------------------------------------------- records */

typedef void* KV_DEV_HANDLE;

typedef struct KV_VERSION_INFO {
    int32_t major;
    int32_t minor;
    int32_t patch;
    int32_t reserved;
} KV_VERSION_INFO; /* 16 bytes */

typedef struct KV_DEVICE_NET_INFO {
    uint8_t reserved0[32];
    char ip[32]; /* dotted IPv4 text */
    uint8_t reserved1[320];
} KV_DEVICE_NET_INFO; /* 384 bytes, stored and returned as given */

typedef struct KV_DEVICE_BASE_INFO {
    int32_t iface; /* KV_INTERFACE_ETHERNET or KV_INTERFACE_USB */
    char id[32];   /* not terminated when 32 characters long */
    char vendorName[32];
    char modelName[32];
    KV_VERSION_INFO hardwareVersion;
    KV_VERSION_INFO firmwareVersion;
    KV_DEVICE_NET_INFO netInfo;
    int32_t initStatus; /* 0 ready, -1005 initialisation failed */
    uint8_t reserved[248];
} KV_DEVICE_BASE_INFO; /* 768 bytes */

typedef struct KV_VECT_3F {
    float x;
    float y;
    float z;
} KV_VECT_3F; /* 12 bytes */

typedef struct KV_CAMERA_INTRINSIC {
    float data[9];     /* fx 0 cx; 0 fy cy; 0 0 1, row by row */
} KV_CAMERA_INTRINSIC; /* 36 bytes */

typedef struct KV_CAMERA_DISTORTION {
    float data[12];
} KV_CAMERA_DISTORTION; /* 48 bytes */

typedef struct KV_IMAGE_DATA {
    uint64_t timestamp;
    int32_t imageIndex;
    int32_t status;
    int32_t componentID;
    int32_t size; /* bytes at buffer */
    void* buffer; /* inside the caller's frame buffer */
    int32_t width;
    int32_t height;
    int32_t pixelFormat;
    int32_t reserved[9];
} KV_IMAGE_DATA; /* 80 bytes */

#define KV_MAX_IMAGES_PER_FRAME 10

typedef struct KV_FRAME_DATA {
    void* userBuffer;
    int32_t bufferSize;
    int32_t validCount;
    int32_t reserved[6];
    KV_IMAGE_DATA image[KV_MAX_IMAGES_PER_FRAME];
} KV_FRAME_DATA; /* 840 bytes */

typedef struct KV_FEATURE_INFO {
    uint8_t isValid;
    uint8_t accessMode;
    uint8_t writableAtRun;
    uint8_t reserved;
    int32_t componentID;
    int32_t featureID;
    char name[32]; /* not terminated when 32 characters long */
    int32_t bindComponentID;
    int32_t bindFeatureID;
} KV_FEATURE_INFO; /* 52 bytes */

typedef struct KV_INT_RANGE {
    int32_t min;
    int32_t max;
    int32_t inc;
    int32_t reserved;
} KV_INT_RANGE; /* 16 bytes */

typedef struct KV_FLOAT_RANGE {
    float min;
    float max;
    float inc;
    float reserved;
} KV_FLOAT_RANGE; /* 16 bytes */

typedef struct KV_ENUM_ENTRY {
    char description[64]; /* not terminated when 64 characters long */
    int32_t value;
    int32_t reserved[3];
} KV_ENUM_ENTRY; /* 80 bytes */

typedef struct KV_TRIGGER_MODE {
    int16_t mode;   /* 0 free running, otherwise triggered */
    uint16_t param; /* low 8 bits are sent to the device */
} KV_TRIGGER_MODE;  /* 4 bytes */

typedef struct KV_EVENT_INFO {
    int32_t eventId; /* KV_EVENT_DEVICE_OFFLINE */
    int32_t reserved[7];
} KV_EVENT_INFO;

typedef struct KV_IMU_DATA {
    uint64_t timestamp;
    float accel[3];
    float gyro[3];
} KV_IMU_DATA; /* never produced by this library */

typedef void (*KV_FRAME_CALLBACK)(KV_FRAME_DATA* frame, void* userData);
typedef void (*KV_EVENT_CALLBACK)(KV_EVENT_INFO* event, void* userData);
typedef void (*KV_IMU_CALLBACK)(KV_IMU_DATA* data, void* userData);

/* ---------------------------------------------------------------- library frame */

/* Creates the library context. 0; -1001 when already initialised. */
KV_EXPORT KV_STATUS _KVInitLib(void);
/* Destroys the context and every camera. Always 0, also when not initialised. */
KV_EXPORT KV_STATUS KVDeinitLib(void);
/* Writes 2.6.5 (reserved untouched). 0; -1020 for null. Works before initialisation. */
KV_EXPORT KV_STATUS KVLibVersion(KV_VERSION_INFO* version);
/* Message of a status code; a fixed fallback text for unknown codes. Never null. */
KV_EXPORT const char* KVErrorString(KV_STATUS status);

/* Calls allowed inside callbacks.
 * Functions that take no handle (device list, open, network records, firmware text, init and deinit)
 * must not be called from a callback. Of the handle functions:
 * - Frame callback (a library thread per camera): every feature read and write, masks, enqueue and clear,
 *   start, stop, close, trigger, registers, callback registration (registering null there is allowed: the
 *   running callback finishes and is not called again). KVFetchFrame returns -1015. The receiver controls
 *   and KVLoadDeviceConfig return -1016 there.
 * - Event callback (the camera's receive thread): calls that need no device reply (enqueue, clear, masks,
 *   callback registration, getters of values held by the library); KVFetchFrame returns -1018. While the
 *   link is up, calls that wait for a device reply return -1016. After KV_EVENT_DEVICE_OFFLINE (the only
 *   event) stop and close succeed without the device, so a handler may close the camera.
 * Handle functions called before _KVInitLib or after KVDeinitLib return -1002. */

/* ---------------------------------------------------------------- registry and discovery */

/* Rescans USB devices and writes the number of known cameras (USB and opened by IP).
 * -1002 not initialised; -1020 null. */
KV_EXPORT KV_STATUS KVGetDeviceNumber(uint32_t* count);
/* Rescans and copies up to capacity 768-byte records in identifier order; writes the number copied
 * (0 for a capacity below 1). -1002; -1020. */
KV_EXPORT KV_STATUS KVGetDeviceList(KV_DEVICE_BASE_INFO* list, int32_t capacity, int32_t* filled);
/* Copies an Ethernet camera's stored network record. -1002; -1020; -1006 unknown id; -1010 not Ethernet. */
KV_EXPORT KV_STATUS KVGetDeviceNetInfo(const char* deviceId, KV_DEVICE_NET_INFO* info);
/* Stores the caller's network record (nothing is sent to the device). -1002; -1020; -1006; -1010. */
KV_EXPORT KV_STATUS KVSetDeviceNetInfo(const char* deviceId, const KV_DEVICE_NET_INFO* info);
/* Opens a camera by device id (serial, ordinal, or the id a camera opened by IP reports), bringing it up
 * first when needed. On failure *handle is null. -1002; -1020; -1006 unknown id; -1005 device not usable;
 * -1016 already open. */
KV_EXPORT KV_STATUS KVOpenDevice(const char* deviceId, KV_DEV_HANDLE* handle);
/* Opens a network camera by IPv4 text (port 7001). An address already registered gives its camera (no
 * second connection): -1016 while it is open. A camera that does not answer the connection attempt
 * fails within a few seconds. On failure *handle is null. -1002; -1020; -1006 unreachable; -1005; -1016. */
KV_EXPORT KV_STATUS KVOpenDeviceWithIP(const char* ip, KV_DEV_HANDLE* handle);
/* Closes a camera (stopping capture) and drops its queued buffers; the handle stays valid and the camera
 * can be opened again. -1007; -1017 not open. */
KV_EXPORT KV_STATUS KVCloseDevice(KV_DEV_HANDLE handle);
/* Firmware build text of a camera that has been brought up (opened at least once); null when not
 * initialised, unknown or never brought up. The text stays valid until KVDeinitLib. */
KV_EXPORT const char* KVGetFirmwareVer(const char* deviceId);

/* ---------------------------------------------------------------- camera information and masks */

/* Switches the device to developer mode (nothing is sent below firmware 2). -1007; device failure. */
KV_EXPORT KV_STATUS KVEnterDeveloperMode(KV_DEV_HANDLE handle);
/* Copies the 768-byte base information. -1007; -1020. */
KV_EXPORT KV_STATUS KVGetDeviceInfo(KV_DEV_HANDLE handle, KV_DEVICE_BASE_INFO* info);
/* Writes the mask of all components. -1007; -1020. */
KV_EXPORT KV_STATUS KVGetComponentIDs(KV_DEV_HANDLE handle, int32_t* mask);
/* Writes the mask of enabled components. -1007; -1020. */
KV_EXPORT KV_STATUS KVGetEnabledComponentIDs(KV_DEV_HANDLE handle, int32_t* mask);
/* Enables components; queued buffers are cut again for the new frame layout (dropped when too small).
 * -1007; -1006 unknown bit; -1016 capturing. */
KV_EXPORT KV_STATUS KVEnableComponents(KV_DEV_HANDLE handle, int32_t mask);
/* Disables components, as KVEnableComponents. -1007; -1006 unknown bit; -1016 capturing. */
KV_EXPORT KV_STATUS KVDisableComponents(KV_DEV_HANDLE handle, int32_t mask);
/* Loads a device-configuration document and applies it to the device at once; it stays loaded and is
 * applied again whenever the camera is brought up. -1007; -1020; -1005 cannot be loaded or applied;
 * -1016 capturing or inside a callback. */
KV_EXPORT KV_STATUS KVLoadDeviceConfig(KV_DEV_HANDLE handle, const char* path);

/* ---------------------------------------------------------------- feature access
 * All take handle, component and feature identifiers and check: -1007 handle, -1008 component,
 * -1009 feature, then the codes listed, in that order. Getters of volatile features ask the device first
 * and return its failure (-1005, -1014, ...); a failed write leaves the held value unchanged. Negative
 * buffer sizes give -1011. */

/* Describes a feature; an absent feature gives isValid 0 and status 0. -1020 null info. */
KV_EXPORT KV_STATUS KVGetFeatureInfo(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                                     KV_FEATURE_INFO* info);
/* -1010 not int; -1020; -1021 read-only feature. */
KV_EXPORT KV_STATUS KVGetIntRange(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                                  KV_INT_RANGE* range);
/* -1010; -1020; device failure. */
KV_EXPORT KV_STATUS KVGetInt(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, int32_t* value);
/* -1004 not writable; -1010; -1013 out of range; -1016 capturing; device failure. */
KV_EXPORT KV_STATUS KVSetInt(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, int32_t value);
/* -1010 not float; -1020. */
KV_EXPORT KV_STATUS KVGetFloatRange(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                                    KV_FLOAT_RANGE* range);
/* -1010; -1020; device failure. */
KV_EXPORT KV_STATUS KVGetFloat(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, float* value);
/* -1004; -1010; -1013; -1016; device failure. */
KV_EXPORT KV_STATUS KVSetFloat(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, float value);
/* -1010 not enum; -1020. */
KV_EXPORT KV_STATUS KVGetEnumEntryCount(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                                        uint32_t* count);
/* Copies up to entryCount entries in descriptor order; writes the number copied. -1010; -1020. */
KV_EXPORT KV_STATUS KVGetEnumEntryInfo(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                                       KV_ENUM_ENTRY* entries, int32_t entryCount, uint32_t* filled);
/* -1010; -1020; device failure. */
KV_EXPORT KV_STATUS KVGetEnum(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, int32_t* value);
/* -1004; -1010; -1006 no entry with that value; -1016; device failure. Writing the image mode (0x3108)
 * changes the frame size and drops every queued buffer: enqueue new ones. */
KV_EXPORT KV_STATUS KVSetEnum(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, int32_t value);
/* -1010 not bool; -1020; device failure. */
KV_EXPORT KV_STATUS KVGetBool(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, bool* value);
/* -1004; -1010; -1016; device failure. */
KV_EXPORT KV_STATUS KVSetBool(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, bool value);
/* Maximum text length of a string feature. -1010 not string; -1020. */
KV_EXPORT KV_STATUS KVGetStringBufferSize(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                                          uint32_t* size);
/* Copies at most bufferSize characters, zero-padded (no terminator when the text fills the buffer).
 * -1010; -1020; -1011 negative size; device failure. */
KV_EXPORT KV_STATUS KVGetString(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, char* buffer,
                                int32_t bufferSize);
/* -1004; -1010; -1020; -1016; device failure. */
KV_EXPORT KV_STATUS KVSetString(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                                const char* text);
/* Current size of a byte-array feature. -1010 not byte array; -1020. */
KV_EXPORT KV_STATUS KVGetByteArraySize(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                                       uint32_t* size);
/* Copies min(bufferSize, size) bytes and writes the count. -1010; -1020; -1011 negative size; device
 * failure. */
KV_EXPORT KV_STATUS KVGetByteArray(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                                   uint8_t* buffer, int32_t bufferSize, uint32_t* filled);
/* -1004; -1010; -1020; -1011 negative or larger than the maximum size; -1016; device failure. */
KV_EXPORT KV_STATUS KVSetByteArray(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                                   const uint8_t* buffer, int32_t size);
/* Struct features; the size must be the record's size (KV_TRIGGER_MODE for 0x7523, KV_CAMERA_INTRINSIC
 * for 0x7000, which answers the intrinsic at the current image size). Never more than size bytes are
 * written. -1003 for 0x7005 (before every other check); -1010 not struct; -1020; -1011 size; -1001
 * intrinsic unavailable (no calibration); device failure. */
KV_EXPORT KV_STATUS KVGetStruct(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID, void* buffer,
                                int32_t size);
/* Only the trigger mode (0x7523) is sent to the device; other structs change the held value only.
 * -1003 for 0x7005; -1004; -1010; -1020; -1011; -1016; device failure. */
KV_EXPORT KV_STATUS KVSetStruct(KV_DEV_HANDLE handle, int32_t componentID, int32_t featureID,
                                const void* buffer, int32_t size);

/* ---------------------------------------------------------------- capture and frames */

/* -1007; -1008 nothing enabled; -1016 capturing; -1019 no buffer enqueued; -1005 link down; device
 * failure. */
KV_EXPORT KV_STATUS KVStartCapture(KV_DEV_HANDLE handle);
/* Queued buffers stay for the next start. -1007; -1017 not capturing; device failure. */
KV_EXPORT KV_STATUS KVStopCapture(KV_DEV_HANDLE handle);
/* -1007; -1020. */
KV_EXPORT KV_STATUS KVIsCapturing(KV_DEV_HANDLE handle, bool* capturing);
/* -1007; -1017; -1015 not in trigger mode; -1005 device failure. */
KV_EXPORT KV_STATUS KVSendSoftTrigger(KV_DEV_HANDLE handle);
/* Frames go to the callback (on a library thread) instead of KVFetchFrame; null returns to polling. When
 * it returns, the previous callback is not running (unless called from it) and is not called again.
 * -1007. */
KV_EXPORT KV_STATUS KVRegisterCallback(KV_DEV_HANDLE handle, KV_FRAME_CALLBACK callback, void* userData);
/* The callback runs on the camera's receive thread; KV_EVENT_DEVICE_OFFLINE is raised once when the link
 * fails. -1007. */
KV_EXPORT KV_STATUS KVRegisterEventCallback(KV_DEV_HANDLE handle, KV_EVENT_CALLBACK callback, void* userData);
/* Not implemented: -1007 or -1003. */
KV_EXPORT KV_STATUS KVRegisterIMUCallback(KV_DEV_HANDLE handle, KV_IMU_CALLBACK callback, void* userData);
/* Waits up to timeoutMs (negative: no limit, 0: no wait) for a frame; give its buffer back with
 * KVEnqueueBuffer. -1007; -1020; -1017 not capturing; -1015 callback mode; -1014 timeout; -1018 no frame. */
KV_EXPORT KV_STATUS KVFetchFrame(KV_DEV_HANDLE handle, KV_FRAME_DATA* frame, int32_t timeoutMs);
/* Bytes one frame buffer needs for the enabled components; on failure *size is 0. -1007; -1020; -1001. */
KV_EXPORT KV_STATUS KVGetFrameBufferSize(KV_DEV_HANDLE handle, uint32_t* size);
/* Hands a buffer to the library until it comes back in a frame. -1007; -1020; -1011 negative or smaller
 * than the frame buffer size; -1001 the layout does not fit. */
KV_EXPORT KV_STATUS KVEnqueueBuffer(KV_DEV_HANDLE handle, void* buffer, int32_t size);
/* Drops every enqueued buffer and every frame not yet delivered. -1007. */
KV_EXPORT KV_STATUS KVClearBufferQueue(KV_DEV_HANDLE handle);
/* Restarts the receive thread after KVCloseInternalReceiver. -1007; -1016 already running or inside a
 * callback; -1001. */
KV_EXPORT KV_STATUS KVOpenInternalReceiver(KV_DEV_HANDLE handle);
/* Stops the receive thread so that pass-through owns the stream. -1007; -1017 not running; -1016 inside a
 * callback; -1001. */
KV_EXPORT KV_STATUS KVCloseInternalReceiver(KV_DEV_HANDLE handle);
/* Raw bytes to the device, with the internal receiver closed. -1007; -1020; -1006 length below 1;
 * -1016 capturing or receive thread running; -1001 send failed. */
KV_EXPORT KV_STATUS KVSendThrough(KV_DEV_HANDLE handle, const void* data, int32_t length);
/* Raw bytes from the device, with the internal receiver closed; a transport failure shows as a negative
 * *received. -1007; -1020; -1006; -1016 as KVSendThrough. */
KV_EXPORT KV_STATUS KVReceivedThrough(KV_DEV_HANDLE handle, void* buffer, int32_t length, int32_t* received);
/* Copies the descriptor XML fetched from the device with its terminator, zero-padded. -1007; -1020;
 * -1011 buffer too small (or negative); -1005 the device did not answer. */
KV_EXPORT KV_STATUS KVGetDeviceDescriptor(KV_DEV_HANDLE handle, char* buffer, int32_t bufferSize);
/* -1007; -1008; -1020; device failure. */
KV_EXPORT KV_STATUS KVReadRegister(KV_DEV_HANDLE handle, int32_t componentID, int32_t address,
                                   int32_t* value);
/* -1007; -1008; device failure. */
KV_EXPORT KV_STATUS KVWriteRegister(KV_DEV_HANDLE handle, int32_t componentID, int32_t address,
                                    int32_t value);

/* ---------------------------------------------------------------- raw stream tap */

#define KV_STREAM_TO_DEVICE 0   /* bytes the host sent */
#define KV_STREAM_FROM_DEVICE 1 /* bytes the host received */

typedef struct KV_STREAM_TAP_DATA {
    int32_t direction;    /* KV_STREAM_TO_DEVICE or KV_STREAM_FROM_DEVICE */
    const uint8_t* bytes; /* valid only during the callback */
    int32_t length;
    uint64_t timeNs;      /* sending/arrival time, CLOCK_REALTIME nanoseconds */
    const char* deviceId; /* the stream's identifier (serial, ordinal or address) */
} KV_STREAM_TAP_DATA;

typedef void (*KV_STREAM_TAP_CALLBACK)(const KV_STREAM_TAP_DATA* data, void* userData);

/* Reports a device's raw byte stream below the protocol layer: every send and every receive that got bytes,
 * in order per direction. The callback may run on several library threads at once and must not call the
 * library. handle: that camera from now on; null: every camera opened after the call, and the cameras that
 * earlier null calls tapped (so a recording holds the opening handshake). A null callback turns the tap off.
 * When it returns, the previous callback is not running (unless called from it). Off, it costs one flag test
 * per transfer. -1002; -1007 unknown non-null handle. */
KV_EXPORT KV_STATUS KVSetStreamTap(KV_DEV_HANDLE handle, KV_STREAM_TAP_CALLBACK callback, void* userData);

/* ---------------------------------------------------------------- geometry */

/* Depth points (column, row, depth) to world points; world points are 12 + worldPadding bytes apart.
 * A count below 1 converts nothing. -1007; -1020; -1006 padding negative or not a multiple of 4; -1008 no
 * depth component; -1009/-1001 no usable depth intrinsic. */
KV_EXPORT KV_STATUS KVDepthToWorld(KV_DEV_HANDLE handle, const KV_VECT_3F* depth, KV_VECT_3F* world,
                                   int32_t worldPadding, int32_t count);
/* World points (12 + worldPadding bytes apart) to depth points. -1007; -1020; -1006; -1008; -1009/-1001. */
KV_EXPORT KV_STATUS KVWorldToDepth(KV_DEV_HANDLE handle, const KV_VECT_3F* world, KV_VECT_3F* depth,
                                   int32_t worldPadding, int32_t count);
/* Renders world points into a uint16 depth image of the colour camera's size.
 * -1007; -1020; -1006; -1008 no colour component; -1009 no colour image size; -1012 output smaller than
 * width x height x 2 bytes; -1003 incomplete colour calibration. */
KV_EXPORT KV_STATUS KVRegisterWorldToColor(KV_DEV_HANDLE handle, const KV_VECT_3F* world,
                                           int32_t worldPadding, int32_t count, uint16_t* depthOut,
                                           int32_t outSize);
/* Undistorts a mono8 or RGB image; needs no device and no initialisation. newIntrinsic may be null.
 * -1020 null record or buffer; -1006 bad size, format or destination too small; -1001 failure. */
KV_EXPORT KV_STATUS KVUndistortImage(const KV_CAMERA_INTRINSIC* intrinsic,
                                     const KV_CAMERA_DISTORTION* distortion,
                                     const KV_CAMERA_INTRINSIC* newIntrinsic, const KV_IMAGE_DATA* src,
                                     KV_IMAGE_DATA* dst);

#ifdef __cplusplus
} /* extern "C" */

namespace orvane {
/* Minimum severity of library log lines on standard output: 10 verbose, 20 info, 30 warning (default),
 * 40 error, 100 none. Levels below 10 count as 10. */
KV_EXPORT void SetLogLevel(int level);
}  // namespace orvane
#endif

/* ---------------------------------------------------------------- layout checks */

#ifdef __cplusplus
#define KV_STATIC_ASSERT static_assert
#else
#define KV_STATIC_ASSERT _Static_assert
#endif
KV_STATIC_ASSERT(sizeof(KV_VERSION_INFO) == 16, "KV_VERSION_INFO size");
KV_STATIC_ASSERT(sizeof(KV_DEVICE_NET_INFO) == 384, "KV_DEVICE_NET_INFO size");
KV_STATIC_ASSERT(offsetof(KV_DEVICE_NET_INFO, ip) == 32, "KV_DEVICE_NET_INFO.ip");
KV_STATIC_ASSERT(sizeof(KV_DEVICE_BASE_INFO) == 768, "KV_DEVICE_BASE_INFO size");
KV_STATIC_ASSERT(offsetof(KV_DEVICE_BASE_INFO, id) == 4, "KV_DEVICE_BASE_INFO.id");
KV_STATIC_ASSERT(offsetof(KV_DEVICE_BASE_INFO, vendorName) == 36, "KV_DEVICE_BASE_INFO.vendorName");
KV_STATIC_ASSERT(offsetof(KV_DEVICE_BASE_INFO, modelName) == 68, "KV_DEVICE_BASE_INFO.modelName");
KV_STATIC_ASSERT(offsetof(KV_DEVICE_BASE_INFO, hardwareVersion) == 100,
                 "KV_DEVICE_BASE_INFO.hardwareVersion");
KV_STATIC_ASSERT(offsetof(KV_DEVICE_BASE_INFO, firmwareVersion) == 116,
                 "KV_DEVICE_BASE_INFO.firmwareVersion");
KV_STATIC_ASSERT(offsetof(KV_DEVICE_BASE_INFO, netInfo) == 132, "KV_DEVICE_BASE_INFO.netInfo");
KV_STATIC_ASSERT(offsetof(KV_DEVICE_BASE_INFO, initStatus) == 516, "KV_DEVICE_BASE_INFO.initStatus");
KV_STATIC_ASSERT(offsetof(KV_DEVICE_BASE_INFO, reserved) == 520, "KV_DEVICE_BASE_INFO.reserved");
KV_STATIC_ASSERT(sizeof(KV_VECT_3F) == 12, "KV_VECT_3F size");
KV_STATIC_ASSERT(sizeof(KV_CAMERA_INTRINSIC) == 36, "KV_CAMERA_INTRINSIC size");
KV_STATIC_ASSERT(sizeof(KV_CAMERA_DISTORTION) == 48, "KV_CAMERA_DISTORTION size");
KV_STATIC_ASSERT(sizeof(KV_IMAGE_DATA) == 80, "KV_IMAGE_DATA size");
KV_STATIC_ASSERT(offsetof(KV_IMAGE_DATA, imageIndex) == 8, "KV_IMAGE_DATA.imageIndex");
KV_STATIC_ASSERT(offsetof(KV_IMAGE_DATA, status) == 12, "KV_IMAGE_DATA.status");
KV_STATIC_ASSERT(offsetof(KV_IMAGE_DATA, componentID) == 16, "KV_IMAGE_DATA.componentID");
KV_STATIC_ASSERT(offsetof(KV_IMAGE_DATA, size) == 20, "KV_IMAGE_DATA.size");
KV_STATIC_ASSERT(offsetof(KV_IMAGE_DATA, buffer) == 24, "KV_IMAGE_DATA.buffer");
KV_STATIC_ASSERT(offsetof(KV_IMAGE_DATA, width) == 32, "KV_IMAGE_DATA.width");
KV_STATIC_ASSERT(offsetof(KV_IMAGE_DATA, height) == 36, "KV_IMAGE_DATA.height");
KV_STATIC_ASSERT(offsetof(KV_IMAGE_DATA, pixelFormat) == 40, "KV_IMAGE_DATA.pixelFormat");
KV_STATIC_ASSERT(offsetof(KV_IMAGE_DATA, reserved) == 44, "KV_IMAGE_DATA.reserved");
KV_STATIC_ASSERT(sizeof(KV_FRAME_DATA) == 840, "KV_FRAME_DATA size");
KV_STATIC_ASSERT(offsetof(KV_FRAME_DATA, bufferSize) == 8, "KV_FRAME_DATA.bufferSize");
KV_STATIC_ASSERT(offsetof(KV_FRAME_DATA, validCount) == 12, "KV_FRAME_DATA.validCount");
KV_STATIC_ASSERT(offsetof(KV_FRAME_DATA, reserved) == 16, "KV_FRAME_DATA.reserved");
KV_STATIC_ASSERT(offsetof(KV_FRAME_DATA, image) == 40, "KV_FRAME_DATA.image");
KV_STATIC_ASSERT(sizeof(KV_FEATURE_INFO) == 52, "KV_FEATURE_INFO size");
KV_STATIC_ASSERT(offsetof(KV_FEATURE_INFO, accessMode) == 1, "KV_FEATURE_INFO.accessMode");
KV_STATIC_ASSERT(offsetof(KV_FEATURE_INFO, writableAtRun) == 2, "KV_FEATURE_INFO.writableAtRun");
KV_STATIC_ASSERT(offsetof(KV_FEATURE_INFO, componentID) == 4, "KV_FEATURE_INFO.componentID");
KV_STATIC_ASSERT(offsetof(KV_FEATURE_INFO, featureID) == 8, "KV_FEATURE_INFO.featureID");
KV_STATIC_ASSERT(offsetof(KV_FEATURE_INFO, name) == 12, "KV_FEATURE_INFO.name");
KV_STATIC_ASSERT(offsetof(KV_FEATURE_INFO, bindComponentID) == 44, "KV_FEATURE_INFO.bindComponentID");
KV_STATIC_ASSERT(offsetof(KV_FEATURE_INFO, bindFeatureID) == 48, "KV_FEATURE_INFO.bindFeatureID");
KV_STATIC_ASSERT(sizeof(KV_INT_RANGE) == 16, "KV_INT_RANGE size");
KV_STATIC_ASSERT(sizeof(KV_FLOAT_RANGE) == 16, "KV_FLOAT_RANGE size");
KV_STATIC_ASSERT(sizeof(KV_ENUM_ENTRY) == 80, "KV_ENUM_ENTRY size");
KV_STATIC_ASSERT(offsetof(KV_ENUM_ENTRY, value) == 64, "KV_ENUM_ENTRY.value");
KV_STATIC_ASSERT(offsetof(KV_ENUM_ENTRY, reserved) == 68, "KV_ENUM_ENTRY.reserved");
KV_STATIC_ASSERT(sizeof(KV_TRIGGER_MODE) == 4, "KV_TRIGGER_MODE size");
KV_STATIC_ASSERT(offsetof(KV_TRIGGER_MODE, param) == 2, "KV_TRIGGER_MODE.param");
KV_STATIC_ASSERT(sizeof(KV_STREAM_TAP_DATA) == 40, "KV_STREAM_TAP_DATA size");
#undef KV_STATIC_ASSERT

#endif /* KVDEPTH_H */
