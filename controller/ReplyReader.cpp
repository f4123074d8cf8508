#include "controller/ReplyReader.h"

namespace controller {

namespace {

constexpr char CR = '\r';
constexpr char LF = '\n';
constexpr std::size_t FixedLength = 16;
constexpr std::size_t None = std::string_view::npos;

bool IsLineEnd(char c) { return c == CR || c == LF; }
char PartnerOf(char c) { return c == CR ? LF : CR; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
// The fixed form's digits are not checked beyond this: a space gives a
// negative number, as it always has; a letter makes it text.
bool IsFixedDigit(char c) { return IsDigit(c) || c == ' '; }

// Whether a report may begin at w[k]: "AZ", "+0", "+-", a CR before "AZ",
// or the start of one of these that is still arriving.
bool ReportMayBeginAt(std::string_view w, std::size_t k) {
  const bool last = k + 1 >= w.size();
  switch (w[k]) {
  case 'A':
    return last || w[k + 1] == 'Z';
  case '+':
    return last || w[k + 1] == '0' || w[k + 1] == '-';
  case CR:
    return !last && w[k + 1] == 'A' && (k + 2 >= w.size() || w[k + 2] == 'Z');
  default:
    return false;
  }
}

// ------------------------------------------------------------ line forms

enum class Match { Whole, Partial, None };

struct LineMatch {
  Match match = Match::None;
  std::size_t length = 0;
  int32_t azimuth = 0;
  std::optional<int32_t> elevation;
};

// Up to three spaces of padding.
Match Spaces(std::string_view w, std::size_t &pos) {
  for (int n = 0; pos < w.size() && w[pos] == ' '; ++pos)
    if (++n > 3)
      return Match::None;
  return pos < w.size() ? Match::Whole : Match::Partial;
}

// One to four digits with at most one minus sign among them; `width`, if
// not 0, is the exact count of characters.
Match Number(std::string_view w, std::size_t &pos, int32_t &value, std::size_t width = 0) {
  int digits = 0;
  bool minus = false;
  int32_t v = 0;
  for (const std::size_t start = pos; pos < w.size() && (width == 0 || pos - start < width); ++pos) {
    const char c = w[pos];
    if (IsDigit(c)) {
      if (++digits > 4)
        return Match::None;
      v = v * 10 + (c - '0');
    } else if (c == '-' && !minus) {
      minus = true;
    } else {
      break;
    }
  }
  if (pos >= w.size())
    return Match::Partial;
  if (digits == 0 || (width != 0 && digits + (minus ? 1 : 0) != int(width)))
    return Match::None;
  value = minus ? -v : v;
  return Match::Whole;
}

Match Literal(std::string_view w, std::size_t &pos, std::string_view text) {
  for (char c : text) {
    if (pos >= w.size())
      return Match::Partial;
    if (w[pos++] != c)
      return Match::None;
  }
  return Match::Whole;
}

// A report of one of the line forms at the start of w, through its line end
// (and the partner byte of that line end if it is there).
LineMatch MatchLine(std::string_view w) {
  LineMatch m;
  std::size_t pos = 0;
  auto step = [&](Match r) {
    m.match = r;
    return r == Match::Whole;
  };
  int32_t el = 0;
  if (!w.empty() && w[0] == 'A') {
    if (!step(Literal(w, pos, "AZ=")) || !step(Spaces(w, pos)) || !step(Number(w, pos, m.azimuth)) ||
        !step(Spaces(w, pos)))
      return m;
    if (w[pos] == 'E') {
      if (!step(Literal(w, pos, "EL=")) || !step(Spaces(w, pos)) || !step(Number(w, pos, el)) || !step(Spaces(w, pos)))
        return m;
      m.elevation = el;
    }
  } else if (!w.empty() && w[0] == '+') {
    // Sign first, then four characters: "+0359", "+-005".
    pos = 1;
    if (!step(Number(w, pos, m.azimuth, 4)))
      return m;
    if (w[pos] == '+') {
      ++pos;
      if (!step(Number(w, pos, el, 4)))
        return m;
      m.elevation = el;
    }
    if (!step(Spaces(w, pos)))
      return m;
  } else {
    return m;
  }
  if (!IsLineEnd(w[pos])) {
    m.match = Match::None;
    return m;
  }
  m.length = pos + 1;
  if (m.length < w.size() && w[m.length] == PartnerOf(w[pos]))
    ++m.length;
  m.match = Match::Whole;
  return m;
}

// ------------------------------------------------------------ the 16-byte form

enum class Verdict { Yes, No, Wait };

// The 16-byte form with its "A" at w[a] (0, or 1 behind a leading CR): no
// line end inside it, and digits (or spaces) where the positions stand.
Verdict FixedVerdict(std::string_view w, std::size_t a) {
  for (std::size_t j = 2; j <= 13 && a + j < w.size(); ++j) {
    const char c = w[a + j];
    if (IsLineEnd(c))
      return Verdict::No;
    const bool digit = (j >= 3 && j <= 5) || j >= 11;
    if (digit && !IsFixedDigit(c))
      return Verdict::No;
  }
  if (w.size() < FixedLength)
    return Verdict::Wait;
  // Sixteen bytes of another form ("AZ=123 EL=045 " CR LF) read as that form.
  if (w.substr(a + 8, 3) != "EL=" && MatchLine(w.substr(a)).match == Match::Whole)
    return Verdict::No;
  return Verdict::Yes;
}

// The same report read one byte late: "Z" first, its "A" as the 16th byte.
bool ZFirstFixed(std::string_view w) {
  if (w.size() < FixedLength || w[0] != 'Z' || w[15] != 'A')
    return false;
  for (std::size_t j : {2, 3, 4, 10, 11, 12})
    if (!IsFixedDigit(w[j]))
      return false;
  return true;
}

// A fixed report takes along what follows it up to where another report may
// begin (a CR answer, noise): whatever one delivery holds.
std::size_t FixedPieceLength(std::string_view w, std::size_t from) {
  for (std::size_t k = from; k < w.size(); ++k)
    if (ReportMayBeginAt(w, k))
      return k;
  return w.size();
}

std::size_t FixedStart(std::string_view w) {
  if (!w.empty() && w[0] == 'A')
    return 0;
  if (w.size() >= 2 && w[0] == CR && w[1] == 'A')
    return 1;
  return None;
}

int32_t ThreeDigits(std::string_view w, std::size_t i) {
  auto d = [&](std::size_t k) { return int32_t(static_cast<unsigned char>(w[k])) - 48; };
  return d(i) * 100 + d(i + 1) * 10 + d(i + 2);
}

// Anything else goes at once: up to and with its line end, or up to where a
// report may begin, or all there is.
std::size_t TextLength(std::string_view w) {
  for (std::size_t k = 1; k < w.size(); ++k) {
    if (IsLineEnd(w[k - 1]))
      return w[k] == PartnerOf(w[k - 1]) ? k + 1 : k;
    if (ReportMayBeginAt(w, k))
      return k;
  }
  return w.size();
}

} // namespace

std::size_t ReplyReader::NextLength(std::string_view w) const {
  if (w.empty())
    return 0;
  if (partner_ != 0 && w[0] == partner_)
    return 1;
  const std::size_t a = FixedStart(w);
  if (a != None) {
    if (w.size() <= a + 1)
      return 0; // "A" or CR "A": may be the start of a report
    if (w[a + 1] == 'Z') {
      const Verdict v = FixedVerdict(w, a);
      if (v == Verdict::Wait)
        return 0;
      if (v == Verdict::Yes)
        return FixedPieceLength(w, 2);
    }
  }
  if (ZFirstFixed(w)) {
    // Its "A" stays with it unless the byte after shows that "A" begins
    // the next report.
    if (w.size() == FixedLength || w[FixedLength] != 'Z')
      return FixedPieceLength(w, FixedLength);
  }
  const LineMatch m = MatchLine(w);
  if (m.match == Match::Whole)
    return m.length;
  if (m.match == Match::Partial)
    return 0;
  return TextLength(w);
}

Reply ReplyReader::Take(std::string_view piece) {
  Reply r;
  r.bytes = std::string(piece);
  if (piece.empty())
    return r;
  if (partner_ != 0 && piece.size() == 1 && piece[0] == partner_) {
    r.kind = Reply::Kind::LineEnd;
    partner_ = 0;
    return r;
  }
  const std::size_t a = FixedStart(piece);
  const bool fixedA =
      a != None && piece.size() > a + 1 && piece[a + 1] == 'Z' && FixedVerdict(piece, a) == Verdict::Yes;
  if (fixedA || ZFirstFixed(piece)) {
    // The positions stand at fixed offsets, a leading CR set aside.
    const std::size_t off = fixedA ? a : 0;
    r.kind = Reply::Kind::Report;
    r.fixedForm = true;
    r.azimuth = ThreeDigits(piece, fixedA ? off + 3 : 2);
    r.elevation = ThreeDigits(piece, fixedA ? off + 11 : 10);
  } else if (const LineMatch m = MatchLine(piece); m.match == Match::Whole && m.length == piece.size()) {
    r.kind = Reply::Kind::Report;
    r.azimuth = m.azimuth;
    r.elevation = m.elevation;
  }
  // A line end whose second byte is still on its way: that byte belongs to
  // this piece when it comes.
  const char last = piece.back();
  const bool whole = piece.size() >= 2 && piece[piece.size() - 2] == PartnerOf(last);
  partner_ = IsLineEnd(last) && !whole ? PartnerOf(last) : 0;
  return r;
}

void ReplyReader::Feed(std::string_view bytes) { held_.append(bytes); }

std::optional<Reply> ReplyReader::Next() {
  const std::size_t n = NextLength(held_);
  if (n == 0)
    return std::nullopt;
  Reply r = Take(std::string_view(held_).substr(0, n));
  held_.erase(0, n);
  return r;
}

} // namespace controller
