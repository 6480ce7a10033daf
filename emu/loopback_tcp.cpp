#include "emu/loopback_tcp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link/host_port.h"

namespace emu {

bool IsLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    }
    return false;
}

int ListenLoopbackTcp(const std::string& text, const std::string& option, int backlog, std::string* bound,
                      std::string* error) {
    std::string host, port;
    if (!SplitHostPort(text, &host, &port)) {
        *error = option + " wants HOST:PORT or [IPV6]:PORT, not " + text;
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        *error = text + ": " + gai_strerror(rc);
        return -1;
    }
    bool loopback = true;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) loopback = loopback && IsLoopback(a->ai_addr);
    if (!loopback) {
        freeaddrinfo(found);
        *error = text + " is not a loopback address: " + option + " serves only 127.0.0.0/8 and ::1";
        return -1;
    }
    int fd = -1, e = 0;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, backlog) == 0) {
            break;
        }
        e = errno;
        if (fd >= 0) close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    if (fd < 0) {
        *error = text + ": " + std::strerror(e);
        return -1;
    }

    sockaddr_storage taken{};
    socklen_t size = sizeof taken;
    char name[INET6_ADDRSTRLEN] = "?";
    getsockname(fd, reinterpret_cast<sockaddr*>(&taken), &size);
    if (taken.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&taken);
        inet_ntop(AF_INET6, &in6->sin6_addr, name, sizeof name);
        *bound = "[" + std::string(name) + "]:" + std::to_string(ntohs(in6->sin6_port));
    } else {
        const auto* in4 = reinterpret_cast<const sockaddr_in*>(&taken);
        inet_ntop(AF_INET, &in4->sin_addr, name, sizeof name);
        *bound = std::string(name) + ":" + std::to_string(ntohs(in4->sin_port));
    }
    return fd;
}

}  // namespace emu
