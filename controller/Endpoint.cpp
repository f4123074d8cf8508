#include "controller/Endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

bool ParsePort(const std::string &text, uint16_t &port) {
  if (text.empty() || text.size() > 5)
    return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + unsigned(c - '0');
  }
  if (value == 0 || value > 65535)
    return false;
  port = uint16_t(value);
  return true;
}

} // namespace

std::string ParseEndpoint(const std::string &text, std::string &addressOut, uint16_t &portOut) {
  std::string address = addressOut;
  std::string port = text;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string::npos)
      return "'" + text + "' is not [ADDRESS]:PORT";
    address = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (address.find(':') != std::string::npos)
      return "an IPv6 address goes in brackets: [" + address + "]:" + port;
  }
  if (address == "localhost")
    address = "127.0.0.1";
  unsigned char parsed[sizeof(in6_addr)];
  if (inet_pton(AF_INET, address.c_str(), parsed) != 1 && inet_pton(AF_INET6, address.c_str(), parsed) != 1)
    return "'" + address + "' is not an IP address";
  if (!ParsePort(port, portOut))
    return "'" + port + "' is not a port number (1 to 65535)";
  addressOut = address;
  return {};
}

std::string ParseCommandLine(const std::vector<std::string> &args, CommandLine &out) {
  CommandLine parsed = out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    std::string value;
    if (a == "--help" || a == "-h") {
      parsed.help = true;
      continue;
    }
    if (a == "--rotctld") {
      if (i + 1 >= args.size())
        return "--rotctld needs a port";
      value = args[++i];
    } else if (a.rfind("--rotctld=", 0) == 0) {
      value = a.substr(10);
    } else {
      return "unknown option '" + a + "'";
    }
    if (parsed.rotctld)
      return "--rotctld given twice";
    if (std::string error = ParseEndpoint(value, parsed.address, parsed.port); !error.empty())
      return error;
    parsed.rotctld = true;
  }
  out = parsed;
  return {};
}
