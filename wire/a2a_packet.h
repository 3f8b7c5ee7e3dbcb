// The A2A packet: a 40-byte header followed by up to 10240 data bytes. It is
// the one unit the two programs exchange over a service's stream. Every header
// field is little-endian at a fixed offset; the accessors below read and write
// those bytes one by one, so the layout never depends on the host's byte order
// or on structure padding.
//
// Free functions without state; callers own the buffers. A `packet` argument
// points at the first header byte and must hold at least kA2AHeaderSize bytes
// (the data follows at kA2AHeaderSize).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint16_t kA2AHeaderSize = 40;
inline constexpr uint16_t kA2AMaxData = 10240;

// Packet kinds (header word at offset 10).
inline constexpr uint16_t kA2AKindNull = 0;
inline constexpr uint16_t kA2AKindControl = 1;
inline constexpr uint16_t kA2AKindDataLinkControl = 2;
inline constexpr uint16_t kA2AKindData = 3;
inline constexpr uint16_t kA2AKindDataLinkData = 4;

// Requests of the two control kinds (header word at offset 12).
inline constexpr uint16_t kA2ACodeConnectRequest = 1;
inline constexpr uint16_t kA2ACodeConnectReply = 2;
inline constexpr uint16_t kA2ACodeDisconnectRequest = 3;

// Results of a CONNECT-REPLY (header word at offset 16).
inline constexpr uint16_t kA2AResultConnected = 1;
inline constexpr uint16_t kA2AResultFailed = 2;
// Reasons of a DISCONNECT-REQUEST, in its result word. A peer that does not
// know them sends 0 and takes every DISCONNECT-REQUEST as the end of the
// connection, which keeps the two working together.
// The connection ended in order.
inline constexpr uint16_t kA2ADisconnectOrderly = 0;
// The connection broke on the sender's side (a reset, an error, or the sender
// gave it up): the receiver resets its local connection instead of closing
// it, so that its program does not take a cut transfer for a whole one.
inline constexpr uint16_t kA2ADisconnectAborted = kA2AResultFailed;
// Half-close: the sender's local program has shut down its sending side. No
// more data follows from the sender; the other direction goes on. The
// receiver shuts down the sending side of its own local connection once the
// data queued before the packet is written; the connection is over when
// both sides have sent one.
inline constexpr uint16_t kA2ADisconnectSendEnd = 3;

// Byte offsets of the header fields.
inline constexpr size_t kA2AOffHeaderSize = 0;
inline constexpr size_t kA2AOffDataSize = 2;
inline constexpr size_t kA2AOffWord4 = 4;  // always 2
inline constexpr size_t kA2AOffWord6 = 6;  // always 1
inline constexpr size_t kA2AOffPort = 8;
inline constexpr size_t kA2AOffKind = 10;
inline constexpr size_t kA2AOffCode = 12;
inline constexpr size_t kA2AOffResult = 16;
inline constexpr size_t kA2AOffError = 18;
inline constexpr size_t kA2AOffMainLinkState = 20;
inline constexpr size_t kA2AOffMainLinkFree = 22;
inline constexpr size_t kA2AOffDataLinkState = 24;
inline constexpr size_t kA2AOffDataLinkFree = 26;
inline constexpr size_t kA2AOffSeq = 28;

uint16_t a2aRead16(const uint8_t* packet, size_t offset);
void a2aWrite16(uint8_t* packet, size_t offset, uint16_t value);
uint32_t a2aRead32(const uint8_t* packet, size_t offset);
void a2aWrite32(uint8_t* packet, size_t offset, uint32_t value);

// Zeroes the 40 header bytes, then headerSize = 40, word 4 = 2, word 6 = 1.
// Every packet the program builds starts here.
void initA2AHeader(uint8_t* packet);

// 1 when the packet may be used: headerSize is 40, and dataSize fits both the
// bytes the holder of the packet has (`entrySize`, header included) and
// `dataLimit`. 0 otherwise; the packet must then be dropped unread.
int32_t checkA2APacket(const uint8_t* packet, size_t entrySize, size_t dataLimit);

inline uint16_t a2aHeaderSize(const uint8_t* p) { return a2aRead16(p, kA2AOffHeaderSize); }
inline uint16_t a2aDataSize(const uint8_t* p) { return a2aRead16(p, kA2AOffDataSize); }
inline uint16_t a2aPort(const uint8_t* p) { return a2aRead16(p, kA2AOffPort); }
inline uint16_t a2aKind(const uint8_t* p) { return a2aRead16(p, kA2AOffKind); }
inline uint16_t a2aCode(const uint8_t* p) { return a2aRead16(p, kA2AOffCode); }
inline uint16_t a2aResult(const uint8_t* p) { return a2aRead16(p, kA2AOffResult); }
inline uint16_t a2aError(const uint8_t* p) { return a2aRead16(p, kA2AOffError); }
inline uint16_t a2aMainLinkState(const uint8_t* p) { return a2aRead16(p, kA2AOffMainLinkState); }
inline uint16_t a2aMainLinkFree(const uint8_t* p) { return a2aRead16(p, kA2AOffMainLinkFree); }
inline uint16_t a2aDataLinkState(const uint8_t* p) { return a2aRead16(p, kA2AOffDataLinkState); }
inline uint16_t a2aDataLinkFree(const uint8_t* p) { return a2aRead16(p, kA2AOffDataLinkFree); }
inline uint32_t a2aSeq(const uint8_t* p) { return a2aRead32(p, kA2AOffSeq); }

inline void setA2ADataSize(uint8_t* p, uint16_t v) { a2aWrite16(p, kA2AOffDataSize, v); }
inline void setA2APort(uint8_t* p, uint16_t v) { a2aWrite16(p, kA2AOffPort, v); }
inline void setA2AKind(uint8_t* p, uint16_t v) { a2aWrite16(p, kA2AOffKind, v); }
inline void setA2ACode(uint8_t* p, uint16_t v) { a2aWrite16(p, kA2AOffCode, v); }
inline void setA2AResult(uint8_t* p, uint16_t v) { a2aWrite16(p, kA2AOffResult, v); }
inline void setA2AError(uint8_t* p, uint16_t v) { a2aWrite16(p, kA2AOffError, v); }
inline void setA2AMainLinkState(uint8_t* p, uint16_t v) { a2aWrite16(p, kA2AOffMainLinkState, v); }
inline void setA2AMainLinkFree(uint8_t* p, uint16_t v) { a2aWrite16(p, kA2AOffMainLinkFree, v); }
inline void setA2ADataLinkState(uint8_t* p, uint16_t v) { a2aWrite16(p, kA2AOffDataLinkState, v); }
inline void setA2ADataLinkFree(uint8_t* p, uint16_t v) { a2aWrite16(p, kA2AOffDataLinkFree, v); }
inline void setA2ASeq(uint8_t* p, uint32_t v) { a2aWrite32(p, kA2AOffSeq, v); }
