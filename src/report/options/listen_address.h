// The address of --listen: PORT, IPV4:PORT or [IPV6]:PORT, 127.0.0.1 when only the port
// is given. Read here for the watch, the Windows service and its installer alike; whether
// the host is a numeric address is for the system to say when it listens.
#pragma once

#include <cstddef>
#include <string>

// Splits `listen` into a host and a port (0 to 65535; 0 takes any free one). False with
// the reason when it is not of those forms.
bool split_listen_address(const char* listen, std::string* host, int* port, char* reason,
                          size_t reason_size);
