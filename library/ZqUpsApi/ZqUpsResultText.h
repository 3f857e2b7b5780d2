/*
 * ZqUpsResultText.h - names and short English texts for the result codes
 * of ZqUpsApi.h.
 *
 * Header only: the functions are static inline and compiled into the
 * program that includes this file, so libZqUps exports nothing more for
 * them.  Usable from C and C++.  Thread-safe: they read only constant
 * tables, write only the caller's buffer and never call strerror; error
 * numbers are named from a table of their own.
 */
#ifndef ZQUPSRESULTTEXT_H
#define ZQUPSRESULTTEXT_H

#include "ZqUpsApi.h"

#include <errno.h>
#include <stddef.h>

/* Room for every text that UPSResultText writes, its NUL included. */
#define UPS_RESULT_TEXT_SIZE 96

typedef struct {
  uint32_t code;
  const char* name;
  const char* text;
} ZqUpsCodeText;

typedef struct {
  int number;
  const char* name;
  const char* text;
} ZqUpsErrnoText;

/* The library's own codes; NULL marks the end. */
static inline const ZqUpsCodeText* zqUpsLibraryCodes(void) {
  static const ZqUpsCodeText codes[] = {
      {UPS_OK, "UPS_OK", "success"},
      {UPSERR_DATA_WITH_STATUS, "UPSERR_DATA_WITH_STATUS", "data delivered with a service status"},
      {UPSERR_NO_OUT_BUFFER, "UPSERR_NO_OUT_BUFFER", "output length given without an output area"},
      {UPSERR_INVALID_PARAM, "UPSERR_INVALID_PARAM", "invalid parameter"},
      {UPSERR_SERVICE_REFUSED, "UPSERR_SERVICE_REFUSED", "service refused the connection"},
      {UPSERR_SERVICE_MISSING, "UPSERR_SERVICE_MISSING", "service socket missing (/tmp/UPS0)"},
      {UPS_STATUS_PRESET, "UPS_STATUS_PRESET", "service left the status word unset"},
      {0, NULL, NULL}};
  return codes;
}

/* Error numbers a socket exchange can meet, each only where the platform
 * defines it; where two names share a number the first one wins.  NULL
 * marks the end. */
static inline const ZqUpsErrnoText* zqUpsErrnoTexts(void) {
  static const ZqUpsErrnoText texts[] = {
#ifdef EPERM
      {EPERM, "EPERM", "operation not permitted"},
#endif
#ifdef ENOENT
      {ENOENT, "ENOENT", "no such file or directory"},
#endif
#ifdef EINTR
      {EINTR, "EINTR", "interrupted system call"},
#endif
#ifdef EIO
      {EIO, "EIO", "input/output error"},
#endif
#ifdef EBADF
      {EBADF, "EBADF", "bad file descriptor"},
#endif
#ifdef EAGAIN
      {EAGAIN, "EAGAIN", "resource temporarily unavailable"},
#endif
#ifdef EWOULDBLOCK
      {EWOULDBLOCK, "EWOULDBLOCK", "operation would block"},
#endif
#ifdef ENOMEM
      {ENOMEM, "ENOMEM", "cannot allocate memory"},
#endif
#ifdef EACCES
      {EACCES, "EACCES", "permission denied"},
#endif
#ifdef EFAULT
      {EFAULT, "EFAULT", "bad address"},
#endif
#ifdef ENOTDIR
      {ENOTDIR, "ENOTDIR", "not a directory"},
#endif
#ifdef EINVAL
      {EINVAL, "EINVAL", "invalid argument"},
#endif
#ifdef ENFILE
      {ENFILE, "ENFILE", "too many open files in system"},
#endif
#ifdef EMFILE
      {EMFILE, "EMFILE", "too many open files"},
#endif
#ifdef EPIPE
      {EPIPE, "EPIPE", "broken pipe"},
#endif
#ifdef ENAMETOOLONG
      {ENAMETOOLONG, "ENAMETOOLONG", "file name too long"},
#endif
#ifdef ELOOP
      {ELOOP, "ELOOP", "too many levels of symbolic links"},
#endif
#ifdef ENOTSOCK
      {ENOTSOCK, "ENOTSOCK", "not a socket"},
#endif
#ifdef EMSGSIZE
      {EMSGSIZE, "EMSGSIZE", "message too long"},
#endif
#ifdef EPROTOTYPE
      {EPROTOTYPE, "EPROTOTYPE", "wrong protocol type for socket"},
#endif
#ifdef EPROTONOSUPPORT
      {EPROTONOSUPPORT, "EPROTONOSUPPORT", "protocol not supported"},
#endif
#ifdef EAFNOSUPPORT
      {EAFNOSUPPORT, "EAFNOSUPPORT", "address family not supported"},
#endif
#ifdef EADDRINUSE
      {EADDRINUSE, "EADDRINUSE", "address already in use"},
#endif
#ifdef EADDRNOTAVAIL
      {EADDRNOTAVAIL, "EADDRNOTAVAIL", "address not available"},
#endif
#ifdef ENETDOWN
      {ENETDOWN, "ENETDOWN", "network is down"},
#endif
#ifdef ECONNABORTED
      {ECONNABORTED, "ECONNABORTED", "connection aborted"},
#endif
#ifdef ECONNRESET
      {ECONNRESET, "ECONNRESET", "connection reset"},
#endif
#ifdef ENOBUFS
      {ENOBUFS, "ENOBUFS", "no buffer space available"},
#endif
#ifdef EISCONN
      {EISCONN, "EISCONN", "socket is already connected"},
#endif
#ifdef ENOTCONN
      {ENOTCONN, "ENOTCONN", "socket is not connected"},
#endif
#ifdef ETIMEDOUT
      {ETIMEDOUT, "ETIMEDOUT", "connection timed out"},
#endif
#ifdef ECONNREFUSED
      {ECONNREFUSED, "ECONNREFUSED", "connection refused"},
#endif
#ifdef EHOSTUNREACH
      {EHOSTUNREACH, "EHOSTUNREACH", "host unreachable"},
#endif
#ifdef EALREADY
      {EALREADY, "EALREADY", "operation already in progress"},
#endif
#ifdef EINPROGRESS
      {EINPROGRESS, "EINPROGRESS", "operation in progress"},
#endif
#ifdef EBADMSG
      {EBADMSG, "EBADMSG", "bad message"},
#endif
#ifdef EPROTO
      {EPROTO, "EPROTO", "protocol error"},
#endif
#ifdef ENOSYS
      {ENOSYS, "ENOSYS", "function not implemented"},
#endif
      {0, NULL, NULL}};
  return texts;
}

static inline const ZqUpsCodeText* zqUpsFindLibraryCode(uint32_t code) {
  const ZqUpsCodeText* entry = zqUpsLibraryCodes();
  for (; entry->name != NULL; ++entry)
    if (entry->code == code) return entry;
  return NULL;
}

static inline const ZqUpsErrnoText* zqUpsFindErrno(int number) {
  const ZqUpsErrnoText* entry = zqUpsErrnoTexts();
  for (; entry->name != NULL; ++entry)
    if (entry->number == number) return entry;
  return NULL;
}

/* Appends text to buffer, cut to what fits before the closing NUL. */
static inline void zqUpsAppend(char* buffer, size_t size, size_t* used, const char* text) {
  while (*text != '\0' && *used + 1 < size) buffer[(*used)++] = *text++;
  buffer[*used] = '\0';
}

/* Appends value in base 10 or 16 (lower-case digits). */
static inline void zqUpsAppendNumber(char* buffer, size_t size, size_t* used, uint32_t value,
                                     unsigned base) {
  char digits[11];
  size_t at = sizeof digits - 1;
  digits[at] = '\0';
  do {
    digits[--at] = "0123456789abcdef"[value % base];
    value /= base;
  } while (value != 0);
  zqUpsAppend(buffer, size, used, digits + at);
}

/* The name under which a result code is known: the constant's name for
 * the library's own codes ("UPSERR_INVALID_PARAM"), the error number's
 * symbol for a system code ("ETIMEDOUT").  NULL for a system code whose
 * error number this header does not know and for any status set by the
 * service.  The string is static. */
static inline const char* UPSResultName(uint32_t code) {
  if (UPS_IS_SYSTEM_CODE(code)) {
    const ZqUpsErrnoText* known = zqUpsFindErrno(UPS_SYSTEM_ERRNO(code));
    return known != NULL ? known->name : NULL;
  }
  {
    const ZqUpsCodeText* known = zqUpsFindLibraryCode(code);
    return known != NULL ? known->name : NULL;
  }
}

/* Writes a short English text for a result code into buffer, cut to
 * size - 1 characters and always NUL-terminated when size is not 0:
 *   "invalid parameter"
 *   "system error 110 (ETIMEDOUT): connection timed out"
 *   "system error 4660"            (an error number this header does not know)
 *   "service status 0x5a000001"    (any status set by the service)
 * Returns buffer.  UPS_RESULT_TEXT_SIZE bytes hold every text. */
static inline char* UPSResultText(uint32_t code, char* buffer, size_t size) {
  size_t used = 0;
  const ZqUpsCodeText* library = NULL;
  if (buffer == NULL || size == 0) return buffer;
  buffer[0] = '\0';
  if (UPS_IS_SYSTEM_CODE(code)) {
    const ZqUpsErrnoText* known = zqUpsFindErrno(UPS_SYSTEM_ERRNO(code));
    zqUpsAppend(buffer, size, &used, "system error ");
    zqUpsAppendNumber(buffer, size, &used, (uint32_t)UPS_SYSTEM_ERRNO(code), 10);
    if (known != NULL) {
      zqUpsAppend(buffer, size, &used, " (");
      zqUpsAppend(buffer, size, &used, known->name);
      zqUpsAppend(buffer, size, &used, "): ");
      zqUpsAppend(buffer, size, &used, known->text);
    }
    return buffer;
  }
  library = zqUpsFindLibraryCode(code);
  if (library != NULL) {
    zqUpsAppend(buffer, size, &used, library->text);
  } else {
    zqUpsAppend(buffer, size, &used, "service status 0x");
    zqUpsAppendNumber(buffer, size, &used, code, 16);
  }
  return buffer;
}

#endif /* ZQUPSRESULTTEXT_H */
