// TCP for the watch's metrics over HTTP (--listen): a listening socket on a numeric
// address, and connections read and written with time limits, so that no client can
// hold the caller longer than it allows. On failure a call says why in the system's
// words. Connections are kept from programs this one starts. One file a platform:
// network_posix.cpp, network_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

struct net_socket {
    intptr_t handle;  // -1: none
};

// Listens on `host` (a numeric IPv4 or IPv6 address, no name) and `port`; the port 0
// takes a free one, which `bound_port` then gives. False with the reason if it cannot.
bool net_listen(const char* host, int port, net_socket* listener, int* bound_port, char* reason,
                size_t reason_size);

// A connection waiting on `listener`, or none after `timeout_ms`: false.
bool net_accept(net_socket* listener, int timeout_ms, net_socket* connection);

// Reads what has come, waiting at most `timeout_ms`: the bytes read, 0 at the end, -1 on
// an error or when nothing came in time.
long net_read(net_socket* connection, char* buffer, size_t size, int timeout_ms);

// Writes all of `data`, waiting at most `timeout_ms` for the client to take it.
bool net_write(net_socket* connection, const char* data, size_t size, int timeout_ms);

// Closes a connection or a listener; closing none does nothing.
void net_close(net_socket* s);
