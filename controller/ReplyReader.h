#pragma once
// Reads what a rotator's control unit sends back, in whatever pieces the line
// and the adapter hand it over, and tells position reports from everything
// else. The units of this protocol family answer a poll in several forms:
//
//   AZ=aaa  EL=eee CR LF     the 16-byte report, read at fixed offsets
//   AZ=aaa CR LF             azimuth only (also CR, LF or LF CR alone)
//   AZ=aaaEL=eee, AZ=aaa EL=eee, AZ=5 EL=12, AZ=0000EL=000
//   +0aaa, +0aaa+0eee        the sign-first form
//
// Padding is free (up to four digits), a minus sign may stand anywhere in a
// number (EL=00-5, +-005 are -5). Anything else (empty lines, prompts, text
// answers, banners, noise, a report cut short) is handed out as text and
// never read as a position; it costs at most its own piece.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace controller {

struct Reply {
  enum class Kind {
    Report,  // a position report
    Text,    // anything else the unit sent
    LineEnd, // the late second byte of the line end of the piece before it (LF after CR, CR after LF)
  };
  Kind kind = Kind::Text;
  std::string bytes; // the piece as it came
  int32_t azimuth = 0;
  std::optional<int32_t> elevation; // none in an azimuth-only report
  bool fixedForm = false;           // the 16-byte report, read at fixed offsets
};

class ReplyReader {
public:
  // Bytes in, as they arrive.
  void Feed(std::string_view bytes);
  // The next whole piece, in order; nothing while what is held may still
  // grow into a report.
  std::optional<Reply> Next();
  // Bytes fed that wait for the rest of their piece.
  std::size_t Held() const { return held_.size(); }

  // For a user whose bytes wait elsewhere (a port's receive buffer): how
  // many of the waiting bytes make the next piece (0: wait for more), and
  // the piece once it has been taken from there. Next() is these two.
  std::size_t NextLength(std::string_view waiting) const;
  Reply Take(std::string_view piece);

private:
  std::string held_;
  char partner_ = 0; // the byte that would complete the last piece's line end
};

} // namespace controller
