#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// One client connection as a handler sees it: the way to answer.
class TConnection {
public:
    virtual ~TConnection() = default;
    // Sends all bytes; false when the peer is gone or the socket failed.
    virtual bool SendBytes(const char* data, size_t size) = 0;
};

// An accepted connection on its own thread.
class TServerConnection : public TConnection {
public:
    virtual ~TServerConnection() = default;
    // Receives up to size bytes; 0 when the peer closed, -1 on a socket error (also after a stop closed it).
    virtual long ReceiveBytes(char* data, size_t size) = 0;
};

// Limits of one request.
inline constexpr size_t MaxRequestLength = 16384;
inline constexpr size_t ReceiveChunk = 32768;
inline constexpr size_t SendChunk = 32768;

// Reads bytes up to the first NUL (consumed; what follows is left unread). False when the request is longer
// than MaxRequestLength, when the peer closes before the NUL, or on a socket error.
bool ReadRequest(TServerConnection& connection, std::string& request);

// The handler's one way to answer: the text (system code page) -> UTF-16 -> UTF-8 per unit, one NUL byte,
// sent in pieces of at most 32768 bytes. Failures are ignored.
void SendResponse(TConnection& connection, std::string_view response);

// The response bytes as SendResponse sends them (without sending).
std::string EncodeResponse(std::string_view response);

// Request bytes (without the NUL) -> UTF-16 units by the request decoding rules: one-, two- and three-byte
// forms by the lead byte's bits, a well-formed four-byte form (lead 0xF0-0xF4) as a surrogate pair; a form
// cut off or with a bad continuation byte makes the whole result empty.
std::u16string DecodeRequest(std::string_view bytes);
