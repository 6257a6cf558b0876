// The watch's metrics over HTTP (--listen ADDR:PORT): GET or HEAD /metrics answers with
// the text last published, in Prometheus' text format, the whole of one publish; before
// the first, an empty body. Any other path is 404, another method on /metrics 405, and a
// request whose head passes 8 KiB 431. Four threads of its own serve a connection each
// at a time, each closed after its answer or after 2 s; others wait in the listen queue
// (16). So a slow or stuck client delays at most other scrapes, never a row or an event
// line, and no number of clients takes more than those.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct metrics_server;

// Starts serving at `listen` (PORT, IPV4:PORT or [IPV6]:PORT; 127.0.0.1 when only a port
// is given). nullptr with the reason if it cannot.
metrics_server* start_metrics_server(const char* listen, char* reason, size_t reason_size);

// Where it serves: http://HOST:PORT/metrics, with the port the system chose for port 0.
const char* metrics_server_url(const metrics_server* server);

// From now on, scrapes get `text`.
void publish_metrics(metrics_server* server, const std::string& text);

// Stops serving (after the answer being written, if any) and frees the server.
void stop_metrics_server(metrics_server* server);

// The answer's status line and headers (without the body) to a request's head: the
// request line and headers up to the blank line. `length` is the body's. HEAD-aware:
// `send_body` says whether the body follows.
std::string metrics_answer_head(std::string_view request, size_t length, bool* send_body, bool* ok);
