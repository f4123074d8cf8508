#pragma once
// Feeds a byte stream, cut into pieces, to the running window's report
// handler through a pseudo-terminal, and checks what must hold whatever the
// bytes: every byte is either traced once or still waiting, at most 15 wait
// once things settle, the labels show whole degrees and nothing is raised.
#include "tests/faults/FarEnd.h"

#include <QLabel>

#include <QRegularExpression>
#include <QTextBlock>

namespace faults {

// Codes the trace has shown so far (the first line is the box's own name).
inline size_t TracedBytes(const TForm1 &form) {
  size_t n = 0;
  const QTextDocument *doc = form.Memo1->document();
  for (QTextBlock b = doc->begin().next(); b.isValid(); b = b.next())
    n += size_t(b.text().split(QChar(' '), Qt::SkipEmptyParts).size());
  return n;
}

inline bool ShowsDegrees(const QLabel *label) {
  static const QRegularExpression degrees(QString::fromUtf8("^-?[0-9]+°?$"));
  return degrees.match(label->text()).hasMatch();
}

class ReportStream {
public:
  // Bytes already waiting in the ring count as sent: an event still on its
  // way may trace them.
  ReportStream(TForm1 &form, FarEnd &end) : form_(form), end_(end) {
    if (TApdBaseDispatcher *d = form.ApdComPort1.PortDispatcher())
      sent_ = d->ReceivedCount();
  }

  // Sends one piece and lets the window take it.
  void Piece(const std::string &bytes) {
    end_.Send(bytes);
    sent_ += bytes.size();
    WaitFor([&] { return end_.Unread() == 0; }, Limit(2000));
  }

  // Waits until every byte sent is traced or waiting and no more than 15
  // wait. An empty string when that happened, else what went wrong.
  std::string Settle() {
    TApdBaseDispatcher *d = form_.ApdComPort1.PortDispatcher();
    if (!d)
      return "port closed";
    uint32_t waiting = 0;
    size_t traced = 0;
    const bool ok = WaitFor(
        [&] {
          waiting = d->ReceivedCount();
          traced = TracedBytes(form_);
          return traced + waiting == sent_ && waiting <= 15;
        },
        Limit(5000));
    if (ok)
      return {};
    return "sent " + std::to_string(sent_) + ", traced " + std::to_string(traced) + ", waiting " +
           std::to_string(waiting);
  }

  size_t Sent() const { return sent_; }

private:
  TForm1 &form_;
  FarEnd &end_;
  size_t sent_ = 0;
};

} // namespace faults
