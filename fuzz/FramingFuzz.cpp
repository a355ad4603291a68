// Request framing over a connection that hands the stream over in pieces of any size: the request is the
// bytes before the first NUL when it is short enough, and nothing otherwise, however the stream is cut.
#include "server/WireUnit.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

class TPiecesConnection : public TServerConnection {
public:
    TPiecesConnection(std::string stream, std::vector<size_t> pieces, bool failAtEnd)
        : m_stream(std::move(stream)), m_pieces(std::move(pieces)), m_failAtEnd(failAtEnd) {}

    bool SendBytes(const char*, size_t) override { return true; }
    long ReceiveBytes(char* data, size_t size) override {
        if (size == 0)
            std::abort(); // a zero-byte read would look like a close
        if (m_offset == m_stream.size())
            return m_failAtEnd ? -1 : 0;
        size_t piece = m_next < m_pieces.size() ? m_pieces[m_next++] : size;
        piece = std::min({piece, size, m_stream.size() - m_offset});
        std::memcpy(data, m_stream.data() + m_offset, piece);
        m_offset += piece;
        return static_cast<long>(piece);
    }

private:
    std::string m_stream;
    std::vector<size_t> m_pieces;
    bool m_failAtEnd;
    size_t m_offset = 0;
    size_t m_next = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    // Filler in front lets short inputs reach the length limit from either side.
    const size_t filler = input.ConsumeIntegralInRange<size_t>(0, MaxRequestLength + 16);
    const bool failAtEnd = input.ConsumeBool();
    std::vector<size_t> pieces(input.ConsumeIntegralInRange<size_t>(0, 16));
    for (size_t& piece : pieces)
        piece = input.ConsumeIntegralInRange<size_t>(1, ReceiveChunk);
    const std::string stream = std::string(filler, 'x') + input.ConsumeRemainingBytesAsString();

    const size_t nul = stream.find('\0');
    const bool expected = nul != std::string::npos && nul <= MaxRequestLength;

    TPiecesConnection connection(stream, pieces, failAtEnd);
    std::string request = "unchanged";
    const bool read = ReadRequest(connection, request);
    if (read != expected || (read && request != stream.substr(0, nul)))
        std::abort();
    return 0;
}
