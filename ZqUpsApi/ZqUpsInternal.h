// Internals of ZqUpsApi.cpp, for the tests, the fuzzers and the benchmark.
// They are hidden in libZqUps; link the static ZqUpsApiInternal library to
// reach them.  The public calls are thin wrappers over these.
#ifndef ZQUPSINTERNAL_H
#define ZQUPSINTERNAL_H

#include <cstddef>
#include <cstdint>

namespace zqups {

constexpr char kSocketPath[] = "/tmp/UPS0";
constexpr int kConnectAttempts = 10;
constexpr unsigned kRetryPauseMicros = 100000;
constexpr int kWaitLimitSeconds = 10;
constexpr uint32_t kReadChunk = 512;
constexpr uint32_t kEnvelopeHeaderSize = 12;
constexpr uint32_t kAccessHeaderSize = 16;

uint32_t systemCode(int err);

// Yields a connected socket to the service, or a result code.
using Connector = uint32_t (*)(void* context, int* fd);

// The real connector: a close-on-exec Unix stream socket with the wait
// bounds set, connected to kSocketPath with the refusal retry.
uint32_t connectService(void* context, int* fd);

// UPSIoControl over whatever socket `connect` yields; the socket is closed
// before the call returns.
uint32_t ioControlVia(Connector connect, void* context, void* inBuffer, uint32_t inLength,
                      void* outBuffer, uint32_t outLength, uint32_t* bytesReturned);

// Envelope framing on plain bytes.  envelopeSize fails with
// UPSERR_INVALID_PARAM when the envelope would not fit in 32 bits.
uint32_t envelopeSize(uint32_t inLength, uint32_t outLength, uint32_t* total);
void buildEnvelope(unsigned char* envelope, uint32_t total, const void* inBuffer,
                   uint32_t inLength, const void* outBuffer, uint32_t outLength);

// The exchange on a connected socket: send the envelope, then read one
// length-prefixed reply into `area`.
uint32_t sendAll(int fd, const unsigned char* data, size_t size);
uint32_t receiveReply(int fd, unsigned char* area, uint32_t areaSize, uint32_t* received);

// One exchange in the shape of UPSIoControl.
using Exchange = uint32_t (*)(void* context, void* inBuffer, uint32_t inLength, void* outBuffer,
                              uint32_t outLength, uint32_t* bytesReturned);

// UPSReadWrite over whatever exchange is given.
uint32_t readWriteVia(Exchange exchange, void* context, uint32_t index, uint32_t offset,
                      uint32_t readLength, void* readData, uint32_t writeLength,
                      const void* writeData, uint32_t* bytesRead);

}  // namespace zqups

#endif
