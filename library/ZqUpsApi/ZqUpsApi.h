/*
 * ZqUpsApi.h - client calls of the UPS service on "/tmp/UPS0".
 *
 * Every data call makes one fresh connection to the service, sends one
 * request and reads one reply; the library keeps no state, starts no
 * thread and may be called from any number of threads at once.  Every
 * call returns a 32-bit result code: UPS_OK (0) on success, one of the
 * codes below, or a status word set by the UPS service itself.
 *
 * No call lasts longer than 10 seconds, and no signal, stop or tracer
 * makes a call fail: the connect attempts, their pauses, the send and
 * every receive draw on one budget per call, and a step that a signal
 * interrupts is taken up again with what is left of it (so a handler
 * without SA_RESTART does not end a waiting call early either).  No call
 * raises SIGPIPE in the calling process, and a thread cancelled inside a
 * call leaves no descriptor and no memory behind.
 *
 * Usable from C and C++; UPSIoControl has a C++ name and is declared
 * for C++ only.
 */
#ifndef ZQUPSAPI_H
#define ZQUPSAPI_H

#include <stdint.h>

#if defined(__GNUC__) || defined(__clang__)
#define ZQUPS_API __attribute__((visibility("default")))
#else
#define ZQUPS_API
#endif

/* Result codes. */
#define UPS_OK 0x00000000u
/* The service delivered data together with this status. */
#define UPSERR_DATA_WITH_STATUS 0xECA60102u
/* An output length was given without an output area. */
#define UPSERR_NO_OUT_BUFFER 0xECA60104u
/* A parameter check failed; nothing was sent. */
#define UPSERR_INVALID_PARAM 0xECA60107u
/* The connection was refused on all 10 attempts (about 0.9 s). */
#define UPSERR_SERVICE_REFUSED 0xECA60200u
/* "/tmp/UPS0" is missing or is not a socket. */
#define UPSERR_SERVICE_MISSING 0xECA60201u
/* A system call failed: the code is this base OR the low 16 bits of errno.
 * The library itself uses ETIMEDOUT (the call's 10 s ran out), ECONNRESET
 * (the service closed the connection before its reply was complete),
 * EMSGSIZE (the reply was longer than the reply area), EPIPE (the service
 * closed the connection before taking the request) and EBADMSG (a read
 * whose reply held no access header). */
#define UPSERR_SYSTEM_BASE 0xECA70000u
/* The status word as the library sends it; a result only when the
 * service's reply carries it back unchanged. */
#define UPS_STATUS_PRESET 0xFFFFFFFFu

/* True when a result code is a system code; its errno is the low half. */
#define UPS_IS_SYSTEM_CODE(code) (((code) & 0xFFFF0000u) == UPSERR_SYSTEM_BASE)
#define UPS_SYSTEM_ERRNO(code) ((int)((code) & 0xFFFFu))

#ifdef __cplusplus
extern "C" {
#endif

/* Tells whether the service's socket file "/tmp/UPS0" is there.
 * Returns UPS_OK when it exists and is a socket (symbolic links are
 * followed), else UPSERR_SERVICE_MISSING.  Makes no connection, so it
 * cannot tell whether a service listens on it. */
ZQUPS_API uint32_t UPSOpen(void);

/* Does nothing; returns UPS_OK. */
ZQUPS_API uint32_t UPSClose(void);

/* Reads readLength bytes of data point (index, offset) into readData.
 * *bytesRead (may be null) is set to 0 first and, when the service
 * answers with status 0 or UPSERR_DATA_WITH_STATUS, to the number of
 * data bytes delivered (never more than readLength).
 * Returns the service's status (UPS_OK, UPSERR_DATA_WITH_STATUS with data,
 * any other status without data), UPSERR_INVALID_PARAM (readLength 0,
 * readData null, readLength above 0xFFFFFFEF), UPSERR_SERVICE_REFUSED, or
 * a system code. */
ZQUPS_API uint32_t UPSRead(uint32_t index, uint32_t offset, uint32_t readLength, void* readData,
                           uint32_t* bytesRead);

/* Writes writeLength bytes of writeData to data point (index, offset).
 * *bytesWritten (may be null) is set to 0 and never changed after.
 * Returns the service's status (a reply too short to hold a status word
 * means UPS_OK), UPSERR_INVALID_PARAM (writeLength 0, writeData null,
 * writeLength above 0xFFFFFFEF), UPSERR_SERVICE_REFUSED, or a system code. */
ZQUPS_API uint32_t UPSWrite(uint32_t index, uint32_t offset, uint32_t writeLength,
                            const void* writeData, uint32_t* bytesWritten);

/* Writes writeData and reads readData of data point (index, offset) in
 * one exchange; either length may be 0, not both.  With readLength 0 it
 * is UPSWrite and readData is left untouched.  Results as for UPSRead
 * and UPSWrite; with a read part, only the reply's status counts. */
ZQUPS_API uint32_t UPSReadWrite(uint32_t index, uint32_t offset, uint32_t readLength,
                                void* readData, uint32_t writeLength, const void* writeData,
                                uint32_t* bytesRead);

#ifdef __cplusplus
}

/* Sends one request envelope built from inBuffer and outBuffer to the
 * service and stores its length-prefixed reply into outBuffer (or, when
 * outLength is 0, copies the first min(16, inLength) reply bytes, zero
 * filled, over inBuffer).  *bytesReturned (may be null) receives the
 * reply length on success and is not written on failure.
 * Returns UPS_OK, UPSERR_NO_OUT_BUFFER (outLength without outBuffer),
 * UPSERR_INVALID_PARAM (inLength without inBuffer, or an envelope beyond
 * 32 bits), UPSERR_SERVICE_REFUSED, or a system code. */
ZQUPS_API unsigned int UPSIoControl(void* inBuffer, unsigned int inLength, void* outBuffer,
                                    unsigned int outLength, unsigned int* bytesReturned);
#endif

#endif /* ZQUPSAPI_H */
