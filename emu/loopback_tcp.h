// Loopback TCP listening, shared by --listen (the controller) and --http (the live panel):
// any local user can connect to a TCP port and no credentials come with it, so only
// loopback addresses are served, never a port reachable from other machines.
#pragma once
#include <sys/socket.h>

#include <string>

namespace emu {

// 127.0.0.0/8 and ::1 (also as an IPv4-mapped IPv6 address).
bool IsLoopback(const sockaddr* address);

// Listens on text, "HOST:PORT" or "[IPV6]:PORT" (port 0: a free one), with the backlog.
// Returns the socket (close-on-exec), and sets *bound to the address taken ("127.0.0.1:PORT",
// "[::1]:PORT"); or -1 with *error set, naming the option the text came from (e.g. "--listen")
// when it is not of that form or not a loopback address.
int ListenLoopbackTcp(const std::string& text, const std::string& option, int backlog, std::string* bound,
                      std::string* error);

}  // namespace emu
