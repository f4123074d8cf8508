#pragma once
// Feeds a byte stream, cut into pieces, to the running window's report
// handler through a pseudo-terminal, and checks what must hold whatever the
// bytes: every byte is either traced once or still waiting, at most 15 wait
// once things settle, the labels show whole degrees and nothing is raised.
#include "tests/app/WindowSupport.h"

#include <QLabel>

#include <QRegularExpression>
#include <QTextBlock>

#include <algorithm>
#include <stdexcept>

namespace faults {

// Counts the codes the trace shows as the lines are added, so lines the
// trace later drops at its limit stay counted. A line end whose second byte
// came late is added to the last line: each line keeps how many of its codes
// were counted, and only the difference is added.
class TraceCounter {
public:
  explicit TraceCounter(const TForm1 &form) : doc_(form.Memo1->document()) {
    // What is there already (the box's own name) is not a code.
    for (QTextBlock b = doc_->begin(); b.isValid(); b = b.next())
      b.setUserState(CodesIn(b));
    connection_ = QObject::connect(doc_, &QTextDocument::contentsChange, [this] { Take(); });
  }
  ~TraceCounter() { QObject::disconnect(connection_); }
  TraceCounter(const TraceCounter &) = delete;
  TraceCounter &operator=(const TraceCounter &) = delete;

  size_t Codes() const { return codes_; }

private:
  static int CodesIn(const QTextBlock &b) { return int(b.text().split(QChar(' '), Qt::SkipEmptyParts).size()); }
  // Lines change only at the end: back from the last line to one whose
  // count still holds. A line never counted has the state -1.
  void Take() {
    for (QTextBlock b = doc_->lastBlock(); b.isValid(); b = b.previous()) {
      const int now = CodesIn(b);
      const int before = b.userState();
      if (before == now)
        break;
      codes_ += size_t(now - std::max(before, 0));
      b.setUserState(now);
    }
  }

  QTextDocument *doc_;
  QMetaObject::Connection connection_;
  size_t codes_ = 0;
};

inline bool ShowsDegrees(const QLabel *label) {
  static const QRegularExpression degrees(QString::fromUtf8("^-?[0-9]+°?$"));
  return degrees.match(label->text()).hasMatch();
}

class ReportStream {
public:
  // Bytes already waiting in the ring count as sent: an event still on its
  // way may trace them.
  ReportStream(TForm1 &form, PtyPair &end) : form_(form), end_(end), traced_(form) {
    if (TApdBaseDispatcher *d = form.ApdComPort1.PortDispatcher())
      sent_ = d->ReceivedCount();
  }

  // Sends one piece and lets the window take it.
  void Piece(const std::string &bytes) {
    if (!end_.Send(bytes))
      throw std::runtime_error("the far end cannot send");
    sent_ += bytes.size();
    RunEventsUntil([&] { return end_.Unread() == 0; }, Scaled(2000ms));
  }

  // Waits until every byte sent is traced or waiting and no more than 15
  // wait. An empty string when that happened, else what went wrong.
  std::string Settle() {
    TApdBaseDispatcher *d = form_.ApdComPort1.PortDispatcher();
    if (!d)
      return "port closed";
    uint32_t waiting = 0;
    size_t traced = 0;
    const bool ok = RunEventsUntil(
        [&] {
          waiting = d->ReceivedCount();
          traced = traced_.Codes();
          return traced + waiting == sent_ && waiting <= 15;
        },
        Scaled(5000ms));
    if (ok)
      return {};
    return "sent " + std::to_string(sent_) + ", traced " + std::to_string(traced) + ", waiting " +
           std::to_string(waiting);
  }

  size_t Sent() const { return sent_; }
  // Bytes sent outside Piece (by a thread of the test) count as sent too.
  void AddSent(size_t n) { sent_ += n; }

private:
  TForm1 &form_;
  PtyPair &end_;
  TraceCounter traced_;
  size_t sent_ = 0;
};

} // namespace faults
