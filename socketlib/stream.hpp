// Helpers shared by the stream families (TCP and local sockets); not part of
// the library's interface.
#pragma once

namespace socketlib::stream {

// Zero-fills the caller's buffer; an empty buffer may be a null pointer.
void zero_fill(void* buffer, int length);

// True when more than `timeout` seconds have passed since `start`
// (sockmicrotime readings).
bool time_is_up(double start, double timeout);

// Result of a failed send: a broken connection is reported as shut down
// (-10058), the other codes by the send table.
int send_failure();
// Result of a failed receive, by the receive table.
int receive_failure();

// Sends the whole buffer, waiting for writability with the full time-out
// before every send.  Returns the count sent; -10060 when a wait times out,
// -1001 when it fails, the send table's code when a send fails.  The count
// so far is returned once the time is up after a send.
int send_with_waits(int sock, const void* data, int length, double timeout);

// Receives into the whole buffer (zero-filled first), waiting for
// readability with the full time-out before every receive; `single` ends
// after the first receive that brought data.  `set_socket_timeout` also sets
// the socket's own receive time-out, as the TCP operations do.
int receive_with_waits(int sock, void* buffer, int length, double timeout, bool single, bool set_socket_timeout);

// Waits (read and write) for a connection attempt under way and classifies
// its outcome: the wait's count when the socket shows no pending error,
// -10060 when the wait timed out, -1001 when it failed or the socket is in
// neither set, otherwise the code of the pending error.
int finish_connect(int sock, double timeout);

}  // namespace socketlib::stream
