#include "netctl/LineReader.h"

#include <algorithm>

namespace netctl {

bool LineReader::Take(std::string_view &input) {
  const auto end = std::find_if(input.begin(), input.end(), [](char c) { return c == '\n' || c == '\r'; });
  const std::size_t body = std::size_t(end - input.begin());
  if (!discarding_) {
    const std::size_t room = limit_ - partial_.size();
    partial_.append(input.substr(0, std::min(body, room)));
    if (body > room)
      discarding_ = true;
  }
  if (end == input.end()) {
    input = {};
    return false;
  }
  input.remove_prefix(body + 1);
  line_.swap(partial_);
  partial_.clear();
  overlong_ = discarding_;
  discarding_ = false;
  return true;
}

} // namespace netctl
