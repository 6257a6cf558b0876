#include "report/options/listen_address.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

bool split_listen_address(const char* listen, std::string* host, int* port, char* reason,
                          size_t reason_size) {
    const std::string_view text(listen);
    std::string_view port_text = text;
    *host = "127.0.0.1";
    if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        port_text = text.substr(colon + 1);
        std::string_view name = text.substr(0, colon);
        if (name.starts_with('[') && name.ends_with(']')) {
            name = name.substr(1, name.size() - 2);
        } else if (name.find(':') != std::string_view::npos) {
            snprintf(reason, reason_size, "an IPv6 address goes in brackets: [%.*s]:%.*s",
                     static_cast<int>(name.size()), name.data(), static_cast<int>(port_text.size()),
                     port_text.data());
            return false;
        }
        *host = std::string(name);
    }
    const bool digits = !port_text.empty() && port_text.size() <= 5 &&
                        port_text.find_first_not_of("0123456789") == std::string_view::npos;
    *port = digits ? atoi(std::string(port_text).c_str()) : -1;
    if (*port < 0 || *port > 65535) {
        snprintf(reason, reason_size, "the port is a number from 1 to 65535: %s", listen);
        return false;
    }
    if (host->empty()) {
        snprintf(reason, reason_size, "an address before the colon, or the port alone: %s", listen);
        return false;
    }
    return true;
}
