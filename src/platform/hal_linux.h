// Small C portability functions: clock, sleep, table-based recursive locks and threads, serial port,
// and a four-slot TCP socket table.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Clock and process.
int32_t TIMER_GetNow(void);
void UTIL_Sleep(uint32_t ms);
void UTIL_Exit(void);

// Locks: handles are slots 0..63 of one recursive-mutex table, -1 when full.
int UTIL_CreateLock(void);
void UTIL_Lock(int handle);
void UTIL_Unlock(int handle);
void UTIL_DeleteLock(int handle);
void InitializeCriticalSection(unsigned long* cs);
void EnterCriticalSection(unsigned long* cs);
void LeaveCriticalSection(unsigned long* cs);
void DeleteCriticalSection(unsigned long* cs);

// Detached threads in a 64-slot table.
typedef void* (*THREAD_START_ROUTINE)(void*);
int THREAD_Create(THREAD_START_ROUTINE start_routine, void* arg);
int THREAD_IsExist(int handle);
void THREAD_Terminate(int handle);

// Serial port: 115200 8N1, raw.
int UART_Init(const char* path);
void UART_Close(int fd);
int UART_Read(int fd, void* buf, int len);
int UART_Write(int fd, const void* buf, int len);
int UART_GetIO(int fd, int line, int* out);
void UART_FlushTX(int fd);
void UART_FlushRX(int fd);

// TCP sockets in a four-slot table. ip is IPv4 in host byte order, 0 for server mode.
int SOCK_Open(uint32_t ip, uint16_t port);
// >0 bytes read, 0 nothing within wait_ms (0xFFFFFFFF: no limit), -1 peer closed, -2 error or bad slot.
int SOCK_Read(int handle, void* buf, int len, uint32_t wait_ms);
// len on success, -2 on error or bad slot; never raises SIGPIPE.
int SOCK_Write(int handle, const void* buf, int len);
int SOCK_GetRxBufLen(int handle);
void SOCK_Close(int handle);

#ifdef __cplusplus
}
#endif
