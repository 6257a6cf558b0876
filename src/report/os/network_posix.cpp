#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "report/os/clocks.h"
#include "report/os/network.h"

namespace {

// Waits until `fd` can be read (or written) or `timeout_ms` passes: whether it can.
bool wait_for(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    int ready = 0;
    do {
        ready = poll(&p, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

}  // namespace

bool net_listen(const char* host, int port, net_socket* listener, int* bound_port, char* reason,
                size_t reason_size) {
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v6;
    } else {
        snprintf(reason, reason_size, "%s is not a numeric IPv4 or IPv6 address", host);
        return false;
    }
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        return false;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (address.ss_family == AF_INET6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 16) != 0) {
        snprintf(reason, reason_size, "%s", strerror(errno));
        close(fd);
        return false;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *bound_port = ntohs(address.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    listener->handle = fd;
    return true;
}

bool net_accept(net_socket* listener, int timeout_ms, net_socket* connection) {
    const int fd = static_cast<int>(listener->handle);
    if (!wait_for(fd, POLLIN, timeout_ms)) {
        return false;
    }
    const int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) {
        return false;
    }
    connection->handle = client;
    return true;
}

long net_read(net_socket* connection, char* buffer, size_t size, int timeout_ms) {
    const int fd = static_cast<int>(connection->handle);
    if (!wait_for(fd, POLLIN, timeout_ms)) {
        return -1;
    }
    ssize_t got = 0;
    do {
        got = recv(fd, buffer, size, 0);
    } while (got < 0 && errno == EINTR);
    return got;
}

bool net_write(net_socket* connection, const char* data, size_t size, int timeout_ms) {
    const int fd = static_cast<int>(connection->handle);
    const int64_t deadline = monotonic_ms() + timeout_ms;
    while (size > 0) {
        const int64_t left = deadline - monotonic_ms();
        if (left <= 0 || !wait_for(fd, POLLOUT, static_cast<int>(left))) {
            return false;
        }
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        }
        if (sent > 0) {
            data += sent;
            size -= static_cast<size_t>(sent);
        }
    }
    return true;
}

void net_close(net_socket* s) {
    if (s->handle >= 0) {
        close(static_cast<int>(s->handle));
        s->handle = -1;
    }
}
