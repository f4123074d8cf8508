#pragma once
// Where network clients are served: "PORT", "ADDRESS:PORT" or
// "[IPv6]:PORT"; "localhost" means 127.0.0.1.
#include <cstdint>
#include <string>

// The address stays as given when the text names only a port. Returns an
// empty string on success, otherwise a one-line message.
std::string ParseEndpoint(const std::string &text, std::string &address, uint16_t &port);
