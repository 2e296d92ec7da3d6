// TCP records: one line, one header block, one chunk of the chunked layout.
// Lines and header blocks are found by peeking at the pending data and then
// taking exactly the record off the socket, so what follows stays pending.
#include <cstdio>
#include <cstring>

#include "platform/winsock.hpp"
#include "socketlib/internal.hpp"
#include "socketlib/socket.hpp"
#include "socketlib/stream.hpp"

namespace socketlib {
namespace {

constexpr int size_line_capacity = 8;  // "%x\r\n" of up to five digits and a zero
constexpr int size_line_max_read = 6;  // bytes of a size line read at most
constexpr int discard_block = 1024;    // scratch for chunk data that does not fit
constexpr int max_chunk_length = 0xFFFFF;

static_assert(size_line_max_read < size_line_capacity, "size line area keeps a terminator");

// Length of the text part of `n` peeked bytes: the search for a record end
// stops at the first zero byte, and never runs past what was peeked.
int text_length(const char* bytes, int n)
{
    const void* zero = std::memchr(bytes, 0, static_cast<std::size_t>(n));
    return zero ? static_cast<int>(static_cast<const char*>(zero) - bytes) : n;
}

// Length of the first line (line feed included), 0 when there is none.
int line_length(const char* bytes, int n)
{
    const void* feed = std::memchr(bytes, '\n', static_cast<std::size_t>(text_length(bytes, n)));
    return feed ? static_cast<int>(static_cast<const char*>(feed) - bytes) + 1 : 0;
}

// Length of the first header block (up to and including "\r\n\r\n"), 0 when
// there is none.
int header_block_length(const char* bytes, int n)
{
    static constexpr char end[] = "\r\n\r\n";
    constexpr int end_length = static_cast<int>(sizeof end) - 1;
    int text = text_length(bytes, n);
    for (int i = 0; i + end_length <= text; ++i) {
        if (std::memcmp(bytes + i, end, end_length) == 0)
            return i + end_length;
    }
    return 0;
}

// Time left of a chunk operation; -1 when it is used up (at once for a
// time-out that is not a number).
double time_left(double start, double timeout)
{
    double spent = sockmicrotime() - start;
    return spent < timeout ? timeout - spent : -1.0;
}

}  // namespace

namespace {

// Finds the end of a record in `n` peeked bytes: its length, 0 when there is
// none yet.
using record_finder = int (*)(const char* bytes, int n);

// Peeks at the pending data until `find` delimits a record, then takes
// exactly that record off the socket, so what follows stays pending.
// `stalled_is_record`: a sender that has stopped without ending its record
// (nothing more arrived since the last peek) has sent the record, everything
// pending; the peeks are then paced by 1 ms.
int receive_record(int sock, char* buffer, int length, double timeout, record_finder find, bool stalled_is_record)
{
    if (sock == -1)
        return -platform::WSAENOTSOCK;
    if (length < 0)
        return -platform::WSAEINVAL;
    stream::zero_fill(buffer, length);
    const platform::timeval wait_time = platform::timeval_from_seconds(timeout);
    internal::set_io_timeout(sock, SO_RCVTIMEO, wait_time);
    const double start = sockmicrotime();
    int previous_peek = 0;

    for (;;) {
        int waited = internal::wait_ready(sock, true, wait_time);
        if (waited < 0)
            return waited;
        if (length == 0)
            return 0;
        int peeked = platform::recv(sock, buffer, length, MSG_PEEK);
        if (peeked == 0)
            return 0;
        if (peeked < 0)
            return -1;
        int record = find(buffer, peeked);
        if (stalled_is_record) {
            if (record == 0)
                platform::Sleep(1);
            if (previous_peek > 0 && peeked == previous_peek)
                record = peeked;
            else
                previous_peek = peeked;
        }
        stream::zero_fill(buffer, length);
        if (record > 0)
            return tcp_recv(sock, buffer, record, timeout);
        // Nothing delimited yet; the peeked bytes stay pending, so the next
        // wait returns at once and the peek repeats until more data arrive
        // or the time is up.
        if (stream::time_is_up(start, timeout))
            return 0;
    }
}

}  // namespace

int tcp_linerecv(int sock, char* buffer, int length, double timeout)
{
    return receive_record(sock, buffer, length, timeout, line_length, false);
}

int tcp_headersrecv(int sock, char* buffer, int length, double timeout)
{
    return receive_record(sock, buffer, length, timeout, header_block_length, true);
}

int tcp_chunkrecv(int sock, char* buffer, int length, double timeout)
{
    if (sock == -1)
        return -platform::WSAENOTSOCK;
    if (length < 0)
        return -platform::WSAEINVAL;
    stream::zero_fill(buffer, length);
    char size_line[size_line_capacity] = {};
    char scratch[discard_block];
    const double start = sockmicrotime();
    double left;

    // Size line, one byte at a time so that nothing after it is taken.
    for (int read = 0; read < size_line_max_read;) {
        if ((left = time_left(start, timeout)) < 0)
            return SOCK_ERR_TIMEOUT;
        int result = tcp_recv(sock, size_line + read, 1, left);
        if (result == 0)
            return read;
        if (result < 0)
            return result;
        if (size_line[read++] == '\n')
            break;
    }
    const int size = static_cast<int>(sockchunk2uint32(reinterpret_cast<const unsigned char*>(size_line)));
    if (size == 0)
        return 0;

    const int kept = size < length ? size : length;
    if (kept > 0) {
        if ((left = time_left(start, timeout)) < 0)
            return SOCK_ERR_TIMEOUT;
        int result = tcp_recv(sock, buffer, kept, left);
        if (result < 0)
            return result;
        if (result < kept) {
            // The data stopped short: the time ran out, or the peer closed
            // in the middle of the chunk.
            return time_left(start, timeout) < 0 ? SOCK_ERR_TIMEOUT : 0;
        }
    }

    // Data beyond the caller's buffer is read and thrown away; the last read
    // is made even when nothing is left of it, and waits for readability.
    const int excess = size - kept;
    for (int i = 0; i < excess / discard_block; ++i) {
        if ((left = time_left(start, timeout)) < 0)
            return SOCK_ERR_TIMEOUT;
        tcp_recv(sock, scratch, discard_block, left);
    }
    if ((left = time_left(start, timeout)) < 0)
        return SOCK_ERR_TIMEOUT;
    tcp_recv(sock, scratch, excess % discard_block, left);

    if ((left = time_left(start, timeout)) < 0)
        return SOCK_ERR_TIMEOUT;
    int result = tcp_recv(sock, scratch, 2, left);
    if (result < 0)
        return result;
    return size;
}

int tcp_chunksend(int sock, const void* data, int length, double timeout)
{
    // The size line of a longer chunk would not fit its area.
    if (length < 0)
        return -platform::WSAEINVAL;
    if (length > max_chunk_length)
        return -platform::WSAEMSGSIZE;
    const double start = sockmicrotime();
    char size_line[size_line_capacity] = {};
    const int line = std::snprintf(size_line, sizeof size_line, "%x\r\n", static_cast<unsigned>(length));

    int result = tcp_send(sock, size_line, line, timeout);
    if (result <= 0)
        return result;
    int total = result;

    double left;
    if ((left = time_left(start, timeout)) < 0)
        return SOCK_ERR_TIMEOUT;
    result = tcp_send(sock, data, length, left);
    if (result < 0)
        return result;
    if (result == 0)
        return total;
    total += result;

    if ((left = time_left(start, timeout)) < 0)
        return SOCK_ERR_TIMEOUT;
    result = tcp_send(sock, "\r\n", 2, left);
    if (result < 0)
        return result;
    return total + result;
}

int tcp_polllinerecv(int sock, char* buffer, int length)
{
    return tcp_pollrecv(sock, buffer, length);
}

}  // namespace socketlib
