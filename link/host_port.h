// "HOST:PORT" and "[IPV6]:PORT" texts of the emulator route's TCP form, read the same way
// by qp7730 and qp7730-emu.
#pragma once
#include <string>

// Splits the text; false when it is not one of the two forms or the port is not a
// number from 0 to 65535.
inline bool SplitHostPort(const std::string& text, std::string* host, std::string* port) {
    size_t colon;
    if (text.starts_with("[")) {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        *host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        *host = text.substr(0, colon);
    }
    *port = text.substr(colon + 1);
    return !host->empty() && !port->empty() && port->size() <= 5 &&
           port->find_first_not_of("0123456789") == std::string::npos && std::stol(*port) <= 65535;
}
