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

// The handler's one way to answer: the text (system code page) -> UTF-16 -> UTF-8 per unit, one NUL byte,
// sent in pieces of at most 32768 bytes. Failures are ignored.
void SendResponse(TConnection& connection, std::string_view response);

// The response bytes as SendResponse sends them (without sending).
std::string EncodeResponse(std::string_view response);

// Request bytes (without the NUL) -> UTF-16 units by the request decoding rules: one-, two- and three-byte
// forms by the lead byte's bits, a well-formed four-byte form (lead 0xF0-0xF4) as a surrogate pair; a form
// cut off or with a bad continuation byte makes the whole result empty.
std::u16string DecodeRequest(std::string_view bytes);
