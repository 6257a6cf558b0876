#include "report/outputs/metrics_server.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "report/options/listen_address.h"
#include "report/os/clocks.h"
#include "report/os/network.h"

struct metrics_server {
    net_socket listener;
    int port;
    std::mutex lock;
    std::string text;  // the last published, whole
    std::string url;   // http://HOST:PORT/metrics
    std::atomic<bool> stopping;
    std::thread threads[4];  // each serves one connection at a time
};

namespace {

constexpr size_t most_head = 8192;
constexpr int connection_ms = 2000;  // a connection's whole time: reading and answering
constexpr int accept_wait_ms = 200;  // how soon the thread sees that it is to stop

// Reads a request's head (up to the blank line) within `deadline_ms`; false when the
// client ends, errs or is too slow first. `too_long` when it passes most_head.
bool read_head(net_socket* c, int64_t deadline_ms, std::string* head, bool* too_long) {
    char buffer[1024];
    for (;;) {
        const size_t end = std::min(head->find("\r\n\r\n"), head->find("\n\n"));
        if (end != std::string::npos || head->size() > most_head) {
            *too_long = end == std::string::npos || end > most_head;
            return true;
        }
        const int64_t left = deadline_ms - monotonic_ms();
        const long got = left > 0 ? net_read(c, buffer, sizeof buffer, static_cast<int>(left)) : -1;
        if (got <= 0) {
            return false;
        }
        head->append(buffer, static_cast<size_t>(got));
    }
}

void serve_one(metrics_server* s, net_socket* c) {
    const int64_t deadline = monotonic_ms() + connection_ms;
    std::string head;
    bool too_long = false;
    if (!read_head(c, deadline, &head, &too_long)) {
        return;  // gone, or too slow: closed without an answer
    }
    std::string body;
    bool send_body = false, ok = false;
    std::string answer;
    if (too_long) {
        answer =
            "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n"
            "Connection: close\r\n\r\n";
    } else {
        {
            const std::lock_guard<std::mutex> hold(s->lock);
            body = s->text;
        }
        answer = metrics_answer_head(head, body.size(), &send_body, &ok);
        if (send_body && ok) {
            answer += body;
        }
    }
    const int64_t left = deadline - monotonic_ms();
    if (left > 0) {
        net_write(c, answer.data(), answer.size(), static_cast<int>(left));
    }
}

void serve(metrics_server* s) {
    while (!s->stopping.load()) {
        net_socket c{-1};
        if (net_accept(&s->listener, accept_wait_ms, &c)) {
            serve_one(s, &c);
            net_close(&c);
        }
    }
}

std::string status_only(const char* status, const char* more) {
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\n" + more +
           "Connection: close\r\n\r\n";
}

}  // namespace

std::string metrics_answer_head(std::string_view request, size_t length, bool* send_body,
                                bool* ok) {
    *send_body = false;
    *ok = false;
    const std::string_view line = request.substr(0, request.find_first_of("\r\n"));
    const size_t method_end = line.find(' ');
    const size_t target_end = method_end == std::string_view::npos ? std::string_view::npos
                                                                   : line.find(' ', method_end + 1);
    if (target_end == std::string_view::npos || !line.substr(target_end + 1).starts_with("HTTP/")) {
        return status_only("400 Bad Request", "");
    }
    const std::string_view method = line.substr(0, method_end);
    std::string_view target = line.substr(method_end + 1, target_end - method_end - 1);
    target = target.substr(0, target.find('?'));
    if (target != "/metrics") {
        return status_only("404 Not Found", "");
    }
    if (method != "GET" && method != "HEAD") {
        return status_only("405 Method Not Allowed", "Allow: GET, HEAD\r\n");
    }
    *ok = true;
    *send_body = method == "GET";
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
           "Content-Length: " +
           std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}

metrics_server* start_metrics_server(const char* listen, char* reason, size_t reason_size) {
    std::string host;
    int port = 0;
    if (!split_listen_address(listen, &host, &port, reason, reason_size)) {
        return nullptr;
    }
    auto* s = new metrics_server{};
    s->listener.handle = -1;
    if (!net_listen(host.c_str(), port, &s->listener, &s->port, reason, reason_size)) {
        delete s;
        return nullptr;
    }
    const bool v6 = host.find(':') != std::string::npos;
    s->url =
        "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(s->port) + "/metrics";
    for (std::thread& t : s->threads) {
        t = std::thread(serve, s);
    }
    return s;
}

const char* metrics_server_url(const metrics_server* server) {
    return server->url.c_str();
}

void publish_metrics(metrics_server* server, const std::string& text) {
    if (server != nullptr) {
        const std::lock_guard<std::mutex> hold(server->lock);
        server->text = text;
    }
}

void stop_metrics_server(metrics_server* server) {
    if (server == nullptr) {
        return;
    }
    server->stopping.store(true);
    for (std::thread& t : server->threads) {
        t.join();
    }
    net_close(&server->listener);
    delete server;
}
