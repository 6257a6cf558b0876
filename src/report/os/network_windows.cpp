#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "report/os/clocks.h"
#include "report/os/network.h"

namespace {

// Winsock's words for its last error.
void say_error(char* reason, size_t reason_size) {
    const int error = WSAGetLastError();
    char words[200] = "";
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, words, sizeof words, nullptr) == 0) {
        words[0] = '\0';
    }
    for (char* end = words + strlen(words);
         end > words && (end[-1] == '\n' || end[-1] == '\r' || end[-1] == ' ' || end[-1] == '.');) {
        *--end = '\0';
    }
    snprintf(reason, reason_size, "%s (error %d)", words[0] != '\0' ? words : "socket error",
             error);
}

// Makes a socket's calls return at once; FIONBIO's value passes long's range, as Winsock
// defines it.
bool set_nonblocking(SOCKET s) {
    u_long nonblocking = 1;
    return ioctlsocket(s, static_cast<long>(FIONBIO), &nonblocking) == 0;
}

// Waits until the socket can be read (or written) or `timeout_ms` passes.
bool wait_for(SOCKET s, bool write, int timeout_ms) {
    WSAPOLLFD p{s, static_cast<SHORT>(write ? POLLWRNORM : POLLRDNORM), 0};
    return WSAPoll(&p, 1, timeout_ms) > 0;
}

}  // namespace

bool net_listen(const char* host, int port, net_socket* listener, int* bound_port, char* reason,
                size_t reason_size) {
    static std::once_flag started;
    std::call_once(started, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
    sockaddr_storage address{};
    int length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<u_short>(port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<u_short>(port));
        length = sizeof *v6;
    } else {
        snprintf(reason, reason_size, "%s is not a numeric IPv4 or IPv6 address", host);
        return false;
    }
    // Not inherited by the monitor the service starts.
    const SOCKET s = WSASocketW(address.ss_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        say_error(reason, reason_size);
        return false;
    }
    // A port another program holds is refused, not shared.
    const BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(s, 16) != 0 ||
        !set_nonblocking(s)) {
        say_error(reason, reason_size);
        closesocket(s);
        return false;
    }
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    *bound_port = ntohs(address.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    listener->handle = static_cast<intptr_t>(s);
    return true;
}

bool net_accept(net_socket* listener, int timeout_ms, net_socket* connection) {
    const SOCKET s = static_cast<SOCKET>(listener->handle);
    if (!wait_for(s, false, timeout_ms)) {
        return false;
    }
    const SOCKET client = accept(s, nullptr, nullptr);
    if (client == INVALID_SOCKET) {
        return false;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(client), HANDLE_FLAG_INHERIT, 0);
    set_nonblocking(client);
    connection->handle = static_cast<intptr_t>(client);
    return true;
}

long net_read(net_socket* connection, char* buffer, size_t size, int timeout_ms) {
    const SOCKET s = static_cast<SOCKET>(connection->handle);
    if (!wait_for(s, false, timeout_ms)) {
        return -1;
    }
    const int got = recv(s, buffer, static_cast<int>(size < 65536 ? size : 65536), 0);
    return got == SOCKET_ERROR ? -1 : got;
}

bool net_write(net_socket* connection, const char* data, size_t size, int timeout_ms) {
    const SOCKET s = static_cast<SOCKET>(connection->handle);
    const int64_t deadline = monotonic_ms() + timeout_ms;
    while (size > 0) {
        const int64_t left = deadline - monotonic_ms();
        if (left <= 0 || !wait_for(s, true, static_cast<int>(left))) {
            return false;
        }
        const int sent = send(s, data, static_cast<int>(size < 65536 ? size : 65536), 0);
        if (sent == SOCKET_ERROR) {
            if (WSAGetLastError() != WSAEWOULDBLOCK) {
                return false;
            }
            continue;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

void net_close(net_socket* s) {
    if (s->handle >= 0) {
        closesocket(static_cast<SOCKET>(s->handle));
        s->handle = -1;
    }
}
