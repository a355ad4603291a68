#pragma once

#include "server/RequestOriginUnit.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// An accepted connection on its own thread; only the request cycle reads and answers through it.
class TServerConnection {
public:
    virtual ~TServerConnection() = default;
    // The peer, as the server accepted it; empty where nobody knows.
    virtual TRequestOrigin Origin() const { return {}; }
    // Receives up to size bytes; 0 when the peer closed, -1 on a socket error (also after a stop closed it).
    virtual long ReceiveBytes(char* data, size_t size) = 0;
    // Sends all bytes; false when the peer is gone or the socket failed.
    virtual bool SendBytes(const char* data, size_t size) = 0;
    // Bytes of a layer under the request (a TLS handshake), sent like SendBytes but no part of the answer:
    // the connection still waits for its request.
    virtual bool SendSetupBytes(const char* data, size_t size) { return SendBytes(data, size); }
    // The subject of the client's verified TLS certificate (system code page, one line); empty without TLS.
    virtual std::string ClientSubject() const { return {}; }
};

// What a kind does with one request: the request text (system code page) and who sent it -> the response
// text, or nullopt to close the connection without an answer. An error it raises also closes without an
// answer.
using TRequestHandler =
    std::function<std::optional<std::string>(const std::string& request, const TRequestOrigin& origin)>;

// Limits of one request.
inline constexpr size_t MaxRequestLength = 16384;
inline constexpr size_t ReceiveChunk = 32768;
inline constexpr size_t SendChunk = 32768;

// The framing of one request, fed with bytes as they come: a request ends at its first NUL (what follows is
// ignored) and has at most MaxRequestLength bytes before it.
class TFrameReader {
public:
    enum class TState { NeedMore, Complete, TooLong };
    // How many bytes to receive next at most: never more than one beyond the longest request, which tells
    // the NUL from a request that is too long, so a client cannot make us hold more.
    size_t Wanted() const { return MaxRequestLength + 1 - m_bytes.size(); }
    // Takes up to Wanted() bytes.
    TState Feed(const char* data, size_t size);
    TState State() const { return m_state; }
    // The request without its NUL, once Complete.
    std::string& Request() { return m_bytes; }

private:
    std::string m_bytes;
    TState m_state = TState::NeedMore;
};

// Reads bytes up to the first NUL (consumed; what follows is left unread). False when the request is longer
// than MaxRequestLength (then *tooLong is set, where given), when the peer closes before the NUL, or on a
// socket error.
bool ReadRequest(TServerConnection& connection, std::string& request, bool* tooLong = nullptr);

// The cycle of one connection: the request read up to its NUL and decoded, converted to the system code
// page and handed to the handler with who sent it (the handler logs the request with its peer line); its
// response, if any, encoded and sent in pieces of at most 32768 bytes (a peer that is gone is not an error).
// Nothing is handed on when the read fails; an empty handler answers nothing. The handler's errors are
// logged with their reason (UnansweredLine) and pass to the caller, which closes the connection; so is a
// request that is too long.
void ServeRequest(TServerConnection& connection, const TRequestHandler& handler);

// The cycle's part after the read, as the server's workers run it: the request bytes (without the NUL)
// decoded, converted and handed to the handler with who sent it -> the response bytes to send
// (EncodeResponse), or nullopt to close without an answer. The handler's errors are logged with their reason
// and pass to the caller.
std::optional<std::string> AnswerRequest(const std::string& bytes, const TRequestOrigin& origin,
                                         const TRequestHandler& handler);
// The entry of a request that was too long (the peer line and the reason), written when it is seen.
void LogTooLongRequest(const TRequestOrigin& origin);

// The log line naming who sent the request, written with the request's text (GBK).
std::string PeerLine(const TRequestOrigin& origin);

// The response bytes as the cycle sends them: the text (system code page) -> UTF-16 -> UTF-8 per unit,
// then one NUL byte.
std::string EncodeResponse(std::string_view response);

// Request bytes (without the NUL) -> UTF-16 units by the request decoding rules: one-, two- and three-byte
// forms by the lead byte's bits, a well-formed four-byte form (lead 0xF0-0xF4) as a surrogate pair; a form
// cut off or with a bad continuation byte makes the whole result empty.
std::u16string DecodeRequest(std::string_view bytes);
