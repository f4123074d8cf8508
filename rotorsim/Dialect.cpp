// What the units of the family send, dialect by dialect.
#include "rotorsim/RotorSim.h"

#include <cstdio>

namespace rotorsim {

const std::vector<DialectInfo> &dialects() {
  static const std::vector<DialectInfo> table = {
      {Dialect::Report16, "report16", "\"AZ=aaa  EL=eee\" CR LF to C and C2; CR to others"},
      {Dialect::Variant2, "variant2", "C: \"AZ=aaa\" CR LF; C2: the 16 bytes; CR; \"? >\""},
      {Dialect::Variant1, "variant1", "C: \"+0aaa\" CR LF; C2: \"+0aaa+0eee\" CR LF; CR"},
      {Dialect::Firmware, "firmware", "C: \"AZ=aaa\"; C2: \"AZ=aaaEL=eee\"; CR LF; \"?>\"; reset"},
      {Dialect::FirmwarePlus0, "firmware-plus0", "C: \"+0aaa\"; C2: \"+0aaa+0eee\"; CR LF; \"?>\"; reset"},
      {Dialect::CloneCr, "clone-cr", "\"+0aaa+0eee\" CR to both; silent; banner on open"},
      {Dialect::CloneLfCr, "clone-lfcr", "\"+0aaa+0eee\" LF CR to both; silent; banner"},
      {Dialect::Hobby, "hobby", "\"AZ=5 EL=12\" CR LF to both; CR LF; reset (1 s)"},
      {Dialect::AzOnly, "az-only", "\"AZ=aaa\" CR to both, no elevation; silent"},
  };
  return table;
}

std::optional<Dialect> dialectNamed(std::string_view name) {
  for (const DialectInfo &d : dialects())
    if (name == d.name)
      return d.dialect;
  return std::nullopt;
}

std::string pollAnswer(Dialect d, bool both, Position p) {
  char buf[40];
  switch (d) {
  case Dialect::Report16:
    return report(p);
  case Dialect::Variant2:
    if (both)
      return report(p);
    std::snprintf(buf, sizeof buf, "AZ=%03d\r\n", p.az);
    break;
  case Dialect::Variant1:
  case Dialect::FirmwarePlus0:
    if (both)
      std::snprintf(buf, sizeof buf, "+0%03d+0%03d\r\n", p.az, p.el);
    else
      std::snprintf(buf, sizeof buf, "+0%03d\r\n", p.az);
    break;
  case Dialect::Firmware:
    if (both)
      std::snprintf(buf, sizeof buf, "AZ=%03dEL=%03d\r\n", p.az, p.el);
    else
      std::snprintf(buf, sizeof buf, "AZ=%03d\r\n", p.az);
    break;
  case Dialect::CloneCr:
    std::snprintf(buf, sizeof buf, "+0%03d+0%03d\r", p.az, p.el);
    break;
  case Dialect::CloneLfCr:
    std::snprintf(buf, sizeof buf, "+0%03d+0%03d\n\r", p.az, p.el);
    break;
  case Dialect::Hobby:
    std::snprintf(buf, sizeof buf, "AZ=%d EL=%d\r\n", p.az, p.el);
    break;
  case Dialect::AzOnly:
    std::snprintf(buf, sizeof buf, "AZ=%03d\r", p.az);
    break;
  }
  return buf;
}

std::string commandAnswer(Dialect d) {
  switch (d) {
  case Dialect::Report16:
  case Dialect::Variant2:
  case Dialect::Variant1:
    return "\r";
  case Dialect::Firmware:
  case Dialect::FirmwarePlus0:
  case Dialect::Hobby:
    return "\r\n";
  case Dialect::CloneCr:
  case Dialect::CloneLfCr:
  case Dialect::AzOnly:
    break;
  }
  return {};
}

std::string unknownAnswer(Dialect d) {
  switch (d) {
  case Dialect::Variant2:
    return "? >\r\n";
  case Dialect::Firmware:
  case Dialect::FirmwarePlus0:
    return "?>\r\n";
  default:
    return {};
  }
}

std::string openBanner(Dialect d) {
  switch (d) {
  case Dialect::CloneCr:
    return "ROTATOR INTERFACE\rVERSION 1.3\rREADY\r";
  case Dialect::CloneLfCr:
    return "\n\rROTATOR INTERFACE\n\rVERSION 1.3\n\rREADY\n\r";
  default:
    return {};
  }
}

Duration openSilence(Dialect d) {
  switch (d) {
  case Dialect::Firmware:
  case Dialect::FirmwarePlus0:
    return std::chrono::seconds(2);
  case Dialect::Hobby:
    return std::chrono::seconds(1);
  default:
    return Duration::zero();
  }
}

} // namespace rotorsim
