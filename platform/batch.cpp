#include "platform/batch.hpp"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/receive_facts.hpp"

namespace platform {

namespace {

int record(int saved_errno)
{
    WSASetLastError(translate_errno(errno));
    errno = saved_errno;
    return SOCKET_ERROR;
}

int receive_list(SOCKET s, datagram* list, int count, bool wait_for_one, bool with_facts)
{
    if (count > batch_capacity)
        count = batch_capacity;
    if (count <= 0) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    mmsghdr messages[batch_capacity];
    iovec parts[batch_capacity];
    // Control messages cost the kernel and this loop a little per datagram,
    // so they are asked for only by the caller that reads them.
    alignas(cmsghdr) unsigned char controls[batch_capacity][receive_control_size];
    std::memset(messages, 0, sizeof(mmsghdr) * static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        parts[i].iov_base = list[i].data;
        parts[i].iov_len = static_cast<size_t>(list[i].size);
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &list[i].address;
        messages[i].msg_hdr.msg_namelen = sizeof list[i].address;
        if (with_facts) {
            messages[i].msg_hdr.msg_control = controls[i];
            messages[i].msg_hdr.msg_controllen = sizeof controls[i];
        }
    }
    int saved = errno;
    // MSG_WAITFORONE blocks for the first datagram only, then takes what else
    // is waiting.
    int taken = ::recvmmsg(s, messages, static_cast<unsigned int>(count), wait_for_one ? MSG_WAITFORONE : MSG_DONTWAIT,
                           nullptr);
    if (taken < 0)
        return record(saved);
    for (int i = 0; i < taken; i++) {
        list[i].address_length = static_cast<int>(messages[i].msg_hdr.msg_namelen);
        if (messages[i].msg_hdr.msg_flags & MSG_TRUNC) {
            list[i].result = SOCKET_ERROR;
            list[i].error = WSAEMSGSIZE;
        } else {
            list[i].result = static_cast<int>(messages[i].msg_len);
            list[i].error = 0;
        }
        if (with_facts)
            read_receive_facts(&messages[i].msg_hdr, &list[i].facts);
        else
            list[i].facts = receive_facts{};
    }
    return taken;
}

}  // namespace

int recv_datagrams(SOCKET s, datagram* list, int count, bool wait_for_one)
{
    return receive_list(s, list, count, wait_for_one, false);
}

int recv_datagrams_with_facts(SOCKET s, datagram* list, int count, bool wait_for_one)
{
    return receive_list(s, list, count, wait_for_one, true);
}

namespace {

// Replies of one size to one destination, next to each other in the list,
// go out as one segmented send (UDP GSO): the kernel routes and builds them
// once and cuts them into datagrams as it sends, each with its own headers,
// exactly as separate sends would put them on the wire.  A segment must fit
// the path without fragmentation, so only sizes that fit any IPv6 path (and
// practically every IPv4 one) are joined; and all segments together must fit
// one IP datagram's length.
constexpr int segment_largest = 1280 - 48;
constexpr int segments_total_largest = 65000;
constexpr int segments_most = 64;
#ifdef UDP_SEGMENT
constexpr int udp_segment_option = UDP_SEGMENT;
#else
constexpr int udp_segment_option = 103;
#endif

// Set once a segmented send failed with EIO: the route's device cannot take
// them (it lacks checksum offload), so they are not tried again.
bool segmenting_unusable = false;

bool same_destination(const datagram& a, const datagram& b)
{
    return a.address_length == b.address_length &&
           std::memcmp(&a.address, &b.address, static_cast<size_t>(a.address_length)) == 0;
}

// How many datagrams from list[first] on go out in one send: a run of equal
// sizes to the same destination, or just the one.
int run_length(const datagram* list, int first, int count)
{
    const datagram& head = list[first];
    if (segmenting_unusable || head.size < 1 || head.size > segment_largest || head.address_length <= 0)
        return 1;
    int length = 1;
    while (first + length < count && length < segments_most && (length + 1) * head.size <= segments_total_largest &&
           list[first + length].size == head.size && same_destination(list[first + length], head))
        length++;
    return length;
}

void set_sent(datagram* d)
{
    d->result = d->size < 0 ? 0 : d->size;
    d->error = 0;
}

// One datagram of a run the kernel would not segment, in its own send.
void send_alone(SOCKET s, datagram* d)
{
    d->result = sendto(s, d->data, d->size, 0, &d->address, d->address_length);
    d->error = d->result < 0 ? WSAGetLastError() : 0;
}

}  // namespace

int send_datagrams(SOCKET s, datagram* list, int count)
{
    if (count > batch_capacity)
        count = batch_capacity;
    // Each message carries one datagram or one run of them.
    mmsghdr messages[batch_capacity];
    iovec parts[batch_capacity];
    int first_of[batch_capacity];
    int length_of[batch_capacity];
    alignas(cmsghdr) unsigned char controls[batch_capacity][CMSG_SPACE(sizeof(uint16_t))];
    int message_count = 0;
    for (int i = 0; i < count;) {
        int length = run_length(list, i, count);
        mmsghdr* m = &messages[message_count];
        std::memset(m, 0, sizeof *m);
        for (int k = i; k < i + length; k++) {
            parts[k].iov_base = list[k].data;
            parts[k].iov_len = static_cast<size_t>(list[k].size < 0 ? 0 : list[k].size);
        }
        m->msg_hdr.msg_iov = &parts[i];
        m->msg_hdr.msg_iovlen = static_cast<size_t>(length);
        m->msg_hdr.msg_name = &list[i].address;
        m->msg_hdr.msg_namelen = static_cast<socklen_t>(list[i].address_length);
        if (length > 1) {
            std::memset(controls[message_count], 0, sizeof controls[message_count]);
            m->msg_hdr.msg_control = controls[message_count];
            m->msg_hdr.msg_controllen = sizeof controls[message_count];
            cmsghdr* c = CMSG_FIRSTHDR(&m->msg_hdr);
            c->cmsg_level = SOL_UDP;
            c->cmsg_type = udp_segment_option;
            c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            uint16_t segment = static_cast<uint16_t>(list[i].size);
            std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
        }
        first_of[message_count] = i;
        length_of[message_count] = length;
        message_count++;
        i += length;
    }
    int saved = errno;
    int next = 0;
    while (next < message_count) {
        int sent = ::sendmmsg(s, messages + next, static_cast<unsigned int>(message_count - next), MSG_NOSIGNAL);
        if (sent > 0) {
            for (int m = next; m < next + sent; m++) {
                for (int k = first_of[m]; k < first_of[m] + length_of[m]; k++)
                    set_sent(&list[k]);
            }
            next += sent;
            continue;
        }
        int code = sent < 0 ? errno : ENOBUFS;
        if (length_of[next] > 1) {
            // The kernel refused the run as a whole: each goes alone, and
            // each has its own result.
            if (code == EIO)
                segmenting_unusable = true;
            for (int k = first_of[next]; k < first_of[next] + length_of[next]; k++)
                send_alone(s, &list[k]);
        } else {
            // The first datagram left failed: it alone takes the error.
            list[first_of[next]].result = SOCKET_ERROR;
            list[first_of[next]].error = translate_errno(code);
        }
        next++;
    }
    errno = saved;
    return count;
}

}  // namespace platform
