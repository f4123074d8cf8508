#pragma once
// Splits a client's byte stream into request lines. A line ends at LF, CR or
// CR LF (the LF then gives an empty line, which gets no reply). A line is
// kept up to a bound; the rest of a longer one is dropped as it arrives, so
// a client that never sends a line end costs no more than the bound.
#include <cstddef>
#include <string>
#include <string_view>

namespace netctl {

class LineReader {
public:
  static constexpr std::size_t kDefaultLimit = 1024;
  explicit LineReader(std::size_t limit = kDefaultLimit) : limit_(limit) {}

  // Consumes bytes from the front of `input` up to and including the next
  // line end. True when a line is complete: line() and overlong() describe
  // it until the next call. False when `input` ran out first.
  bool Take(std::string_view &input);

  const std::string &line() const { return line_; }
  // The line was longer than the bound; line() holds its first part.
  bool overlong() const { return overlong_; }
  // Bytes of an unfinished line held now (never more than the bound).
  std::size_t Held() const { return partial_.size(); }

private:
  std::size_t limit_;
  std::string partial_;
  bool discarding_ = false;
  std::string line_;
  bool overlong_ = false;
};

} // namespace netctl
