#include "numedit/PBNumEdit.h"
#include "numedit/NumberText.h"

#include "runtime/SysUtils.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <locale.h>
#include <string>

namespace {

// Posted to the control: re-throws an error of its own event handling.
const QEvent::Type RaiseEventType = QEvent::Type(QEvent::User + 146);
// Posted to the control when the locale may have changed its separators.
const QEvent::Type SeparatorsChangedEventType = QEvent::Type(QEvent::User + 147);

class TRaiseEvent : public QEvent {
public:
  explicit TRaiseEvent(std::exception_ptr e) : QEvent(RaiseEventType), Error(std::move(e)) {}
  std::exception_ptr Error;
};

std::function<void()> &BeepHandler() {
  static std::function<void()> handler;
  return handler;
}

// Enter belongs to a form with a default button, Escape to a dialog (its
// cancel); a dialog also takes Enter for its auto-default buttons.
bool FormUsesKey(QWidget *window, int key) {
  if (qobject_cast<QDialog *>(window))
    return true;
  if (key == Qt::Key_Escape)
    return false;
  const auto buttons = window->findChildren<QPushButton *>();
  return std::any_of(buttons.begin(), buttons.end(),
                     [](QPushButton *b) { return b->isDefault() && b->isVisible() && b->isEnabled(); });
}

bool IsNavigation(QKeyEvent *e) {
  static const QKeySequence::StandardKey keys[] = {
      QKeySequence::MoveToNextChar,        QKeySequence::MoveToPreviousChar,  QKeySequence::MoveToNextWord,
      QKeySequence::MoveToPreviousWord,    QKeySequence::MoveToStartOfLine,   QKeySequence::MoveToEndOfLine,
      QKeySequence::MoveToStartOfBlock,    QKeySequence::MoveToEndOfBlock,    QKeySequence::MoveToStartOfDocument,
      QKeySequence::MoveToEndOfDocument,   QKeySequence::SelectNextChar,      QKeySequence::SelectPreviousChar,
      QKeySequence::SelectNextWord,        QKeySequence::SelectPreviousWord,  QKeySequence::SelectStartOfLine,
      QKeySequence::SelectEndOfLine,       QKeySequence::SelectStartOfBlock,  QKeySequence::SelectEndOfBlock,
      QKeySequence::SelectStartOfDocument, QKeySequence::SelectEndOfDocument, QKeySequence::SelectAll,
  };
  for (auto k : keys)
    if (e->matches(k))
      return true;
  return false;
}

} // namespace

using numtext::CurrentDecimalSeparator;
using numtext::CurrentThousandSeparator;
using numtext::ParseNumber;

template <class F>
void TPBNumEdit::Guarded(F &&f) {
  try {
    f();
  } catch (...) {
    QCoreApplication::postEvent(this, new TRaiseEvent(std::current_exception()));
  }
}

TPBNumEdit::TPBNumEdit(QWidget *parent) : QLineEdit(parent) {
  SavedDecimalSeparator = CurrentDecimalSeparator();
  SavedThousandSeparator = CurrentThousandSeparator();
  const QPalette system = QApplication::palette();
  FColor = system.color(QPalette::Active, QPalette::Base);
  FDisabledColor = system.color(QPalette::Active, QPalette::Button);
  setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  // Text may enter only through the character filter.
  setAcceptDrops(false);
  setDragEnabled(false);
  resize(100, sizeHint().height());
  SetFormattedText(FormatValue(0));
  ApplyBackground();
  connect(this, &QLineEdit::textChanged, this, [this] {
    if (OnChange)
      Guarded([&] { OnChange(this); });
  });
  if (qApp)
    qApp->installEventFilter(this);
}

TPBNumEdit::~TPBNumEdit() {
  if (qApp)
    qApp->removeEventFilter(this);
}

void TPBNumEdit::SetBeepHandler(std::function<void()> handler) { BeepHandler() = std::move(handler); }

void TPBNumEdit::Beep() {
  if (BeepHandler())
    BeepHandler()();
  else
    QApplication::beep();
}

// ---- properties ----------------------------------------------------------

void TPBNumEdit::SetAlignment(TAlignment a) {
  if (a == FAlignment)
    return;
  FAlignment = a;
  Qt::Alignment h = a == TAlignment::taLeftJustify    ? Qt::AlignLeft
                    : a == TAlignment::taRightJustify ? Qt::AlignRight
                                                      : Qt::AlignHCenter;
  setAlignment(h | Qt::AlignVCenter); // caret and selection survive
}

void TPBNumEdit::SetDecimals(int d) {
  if (d == FDecimals)
    return;
  if (d < 0)
    d = -1;
  if (d > 14)
    d = 14;
  if (FMaxLength > 0 && d > FMaxLength - 2)
    d = FMaxLength - 2;
  const long double v = Value();
  FDecimals = static_cast<int8_t>(d);
  SetFormattedText(FormatValue(v));
}

void TPBNumEdit::SetMinValue(long double x) {
  if (x != FMinValue && !(x > FMaxValue))
    FMinValue = x;
}

void TPBNumEdit::SetMaxValue(long double x) {
  if (x != FMaxValue && !(x < FMinValue))
    FMaxValue = x;
}

void TPBNumEdit::SetNumberFormat(TNumberFormat f) {
  const long double v = Value();
  FNumberFormat = f;
  SetFormattedText(FormatValue(v));
}

// ---- editing -------------------------------------------------------------

int TPBNumEdit::SelStart() const { return hasSelectedText() ? selectionStart() : cursorPosition(); }

void TPBNumEdit::ReplaceText(const QString &s, int caret) {
  if (s != text())
    setText(s);
  setCursorPosition(std::clamp(caret, 0, static_cast<int>(s.size())));
}

void TPBNumEdit::SetFormattedText(const QString &s) {
  // A freshly formatted text is in the current separators.
  SavedDecimalSeparator = CurrentDecimalSeparator();
  SavedThousandSeparator = CurrentThousandSeparator();
  if (s != text())
    setText(s);
}

bool TPBNumEdit::InsertTyped(QChar c) {
  if (FMaxLength > 0 && !hasSelectedText() && text().size() >= FMaxLength)
    return false;
  insert(QString(c));
  return true;
}

void TPBNumEdit::KeyDown(int &Key, Qt::KeyboardModifiers Shift) {
  EnteredByMouse = false;
  if (OnKeyDown)
    OnKeyDown(this, Key, Shift);
  if (!isReadOnly() && (Key == Qt::Key_Backspace || Key == Qt::Key_Delete)) {
    if (!hasSelectedText())
      DeleteChar(Key);
    else
      DeleteSelection();
    Key = 0;
  }
}

void TPBNumEdit::KeyPress(QChar &Key) {
  if (OnKeyPress)
    OnKeyPress(this, Key);
  if (Key.isNull())
    return;
  const ushort k = Key.unicode();
  if (isReadOnly()) {
    if (k == 3)
      CopyToClipboard(); // a read-only field still copies
    return;
  }
  switch (k) {
  case 3:
    CopyToClipboard();
    return;
  case 22:
    PasteFromClipboard();
    return;
  case 24:
    CutToClipboard();
    return;
  default:
    break;
  }
  const QChar dec = CurrentDecimalSeparator();
  const bool digit = k >= '0' && k <= '9';
  const bool accepted = digit || k == '-' || k == 'E' || k == 'e' || (Key == dec && FDecimals != 0);
  if (!accepted) {
    Beep();
    return;
  }
  const QChar c = k == 'e' ? QChar('E') : Key;
  QString t = text();
  int p0 = SelStart();
  int decPos = static_cast<int>(t.indexOf(dec)) + 1;
  int ePos = static_cast<int>(t.indexOf('E')) + 1;

  if (c == 'E' || c == dec) {
    if (hasSelectedText())
      setCursorPosition(p0);
  } else if (hasSelectedText()) {
    DeleteSelection();
    // Positions from before the deletion would point into the old text.
    t = text();
    p0 = cursorPosition();
    decPos = static_cast<int>(t.indexOf(dec)) + 1;
    ePos = static_cast<int>(t.indexOf('E')) + 1;
  }
  t = text();
  const bool neg = t.startsWith('-');
  const bool expNeg = ePos > 0 && t.mid(ePos).contains('-');
  if (neg && cursorPosition() == 0)
    setCursorPosition(1);
  if (expNeg && cursorPosition() == ePos)
    setCursorPosition(ePos + 1);

  if (c == '-') {
    if (ePos > 0 && p0 >= ePos) {
      if (expNeg)
        ReplaceText(t.remove(ePos, 1), std::max(p0 - 1, ePos));
      else
        ReplaceText(t.insert(ePos, '-'), p0 + 1);
    } else if (neg) {
      ReplaceText(t.remove(0, 1), std::max(p0 - 1, 0));
    } else {
      ReplaceText(t.prepend('-'), p0 + 1);
    }
    return;
  }
  if (c == dec) {
    if (decPos > 0) {
      setCursorPosition(decPos);
      return;
    }
    if (FDecimals == -1)
      setCursorPosition(ePos > 0 ? ePos - 1 : static_cast<int>(t.size()));
    InsertTyped(dec);
    return;
  }
  if (c == 'E') {
    if (ePos > 0) {
      setCursorPosition(ePos);
      return;
    }
    setCursorPosition(static_cast<int>(t.size()));
    InsertTyped('E');
    return;
  }
  // A digit.
  const int caret = cursorPosition();
  const int len = static_cast<int>(t.size());
  if (caret <= 2 && neg && len >= 2 && t[1] == '0') {
    setSelection(1, 1);
    InsertTyped(c);
  } else if (caret <= 1 && len >= 1 && t[0] == '0') {
    setSelection(0, 1);
    InsertTyped(c);
  } else if (ePos > 0 && caret == ePos && len > ePos && t[ePos] == '0') {
    // Replacing a leading zero can grow the exponent too ("E0123").
    const int32_t v = StrToInt((QString(c) + t.mid(ePos + 1, 99)).toStdString());
    if (v > MaxExponent || v < -MaxExponent) {
      Beep();
    } else {
      setSelection(ePos, 1);
      InsertTyped(c);
    }
  } else if (ePos > 0 && caret >= ePos) {
    const QString exp = t.mid(ePos, caret - ePos) + c + t.mid(caret, 99);
    const int32_t v = StrToInt(exp.toStdString());
    if (v > MaxExponent || v < -MaxExponent)
      Beep();
    else
      InsertTyped(c);
  } else if (FDecimals <= 0) {
    InsertTyped(c);
  } else if (caret == decPos + FDecimals) {
    Beep(); // behind the last allowed decimal place
  } else if (caret >= decPos) {
    if (caret < len)
      setSelection(caret, 1);
    InsertTyped(c);
  } else {
    InsertTyped(c);
  }
}

void TPBNumEdit::DeleteChar(int Key) {
  QString t = text();
  const int len = static_cast<int>(t.size());
  const QChar dec = CurrentDecimalSeparator();
  const QChar thou = CurrentThousandSeparator();
  const int decPos = static_cast<int>(t.indexOf(dec)) + 1;
  const int eIndex = static_cast<int>(t.indexOf('E'));
  const int ePos = eIndex >= 0 ? eIndex + 1 : len + 1;
  const int caret = cursorPosition();
  auto skipped = [&](int i) {
    const QChar ch = t[i - 1];
    return ch == 'E' || ch == thou || ch == dec;
  };
  // Separators and the 'E' are stepped over, never deleted; "1.E5" has two
  // of them side by side.
  int i;
  if (Key == Qt::Key_Delete) {
    i = caret + 1;
    if (i > len)
      return;
    while (i <= len && skipped(i))
      ++i;
  } else {
    i = caret;
    if (i == 0)
      return;
    while (i >= 1 && skipped(i))
      --i;
  }
  if (i == 0 || i > len)
    return;

  if (decPos > 0 && decPos < i && i < ePos) {
    t.remove(i - 1, 1);
    if (FDecimals > 0)
      t.insert(eIndex >= 0 ? eIndex - 1 : t.size(), '0');
    ReplaceText(t, i - 1);
  } else if (i == 1 && t.startsWith('-')) {
    t.remove(0, 1);
    if (t.isEmpty())
      t = QStringLiteral("0");
    ReplaceText(t, 0);
  } else if (i == 1 && (len == 1 || t[1] == dec || t[1] == 'E')) {
    t[0] = '0';
    ReplaceText(t, 1);
  } else {
    t.remove(i - 1, 1);
    if ((FNumberFormat == TNumberFormat::Scientific || FNumberFormat == TNumberFormat::Engineering) && t.endsWith('E'))
      t += '0';
    ReplaceText(t, i - 1);
  }
}

void TPBNumEdit::DeleteSelection() {
  if (!hasSelectedText())
    return;
  const QString sel = selectedText();
  if (sel.size() == text().size()) {
    // The text may already be the formatted 0: drop the selection either
    // way, caret at the start as after any replaced text.
    SetFormattedText(FormatValue(0));
    setCursorPosition(0);
    return;
  }
  int n = static_cast<int>(PlainText(sel).size());
  if (sel.contains(CurrentDecimalSeparator()))
    --n;
  setCursorPosition(selectionStart() + static_cast<int>(sel.size()));
  for (int j = 0; j < n; ++j)
    DeleteChar(Qt::Key_Backspace);
}

void TPBNumEdit::KeyUp(int &Key, Qt::KeyboardModifiers Shift) {
  if (OnKeyUp)
    OnKeyUp(this, Key, Shift);
  if (FNumberFormat != TNumberFormat::Thousands || hasSelectedText())
    return;
  const QString t = text();
  const QChar dec = CurrentDecimalSeparator();
  const QChar thou = CurrentThousandSeparator();
  const int b = static_cast<int>(t.indexOf(dec)) + 1;
  const int c = cursorPosition();
  long double v = 0;
  // A number still being typed ("1,234E") is regrouped once it is complete.
  if (!ParseNumber(PlainText(t), dec, v))
    return;
  const QString nw = FormatValue(v);
  const int kNew = static_cast<int>(nw.count(thou));
  const int kOld = static_cast<int>(t.count(thou));
  if (kNew == kOld && nw.indexOf(thou) == t.indexOf(thou) && Key != Qt::Key_Return && Key != Qt::Key_Enter &&
      Key != Qt::Key_Space)
    return;
  int caret = c + kNew - kOld;
  const bool newDec = nw.contains(dec);
  if (newDec && b == 0)
    ++caret;
  else if (b != 0 && !newDec)
    --caret;
  caret = std::clamp(caret, 0, static_cast<int>(nw.size()));
  if (caret < nw.size() && nw[caret] == thou)
    ++caret;
  SetFormattedText(nw);
  setCursorPosition(caret);
}

// ---- clipboard -----------------------------------------------------------

void TPBNumEdit::CopyToClipboard() { QGuiApplication::clipboard()->setText(PlainText(selectedText())); }

void TPBNumEdit::CutToClipboard() {
  CopyToClipboard();
  if (!isReadOnly())
    DeleteSelection();
}

void TPBNumEdit::PasteFromClipboard() {
  if (isReadOnly())
    return;
  DeleteSelection();
  const QString s = QGuiApplication::clipboard()->text();
  for (QChar ch : s) {
    QChar k = ch;
    KeyPress(k);
  }
}

void TPBNumEdit::ClearSelection() {
  if (OnClear) {
    OnClear(this);
    return;
  }
  if (!isReadOnly())
    DeleteSelection();
}

// ---- range check ---------------------------------------------------------

void TPBNumEdit::DoExit() {
  SetFormattedText(FormatValue(Value()));
  if (FMinValue == 0 && FMaxValue == 0) {
    if (OnExit)
      OnExit(this);
    emit exited();
    return;
  }
  const long double v = Value();
  if (v < FMinValue || v > FMaxValue) {
    HandleInvalidEntry();
    return;
  }
  if (OnExit)
    OnExit(this);
  emit exited();
}

void TPBNumEdit::HandleInvalidEntry() {
  if (OnInvalidEntry) {
    OnInvalidEntry(this);
    return;
  }
  const long double v = Value();
  if (v < FMinValue)
    SetValue(FMinValue);
  else if (v > FMaxValue)
    SetValue(FMaxValue);
  Beep();
  if (isEnabled() && isVisible() && focusPolicy() != Qt::NoFocus) {
    FEntered = true; // still the form's field: no second entry
    setFocus(Qt::OtherFocusReason);
    // The focus comes back as on entry: the clamped value selected, so
    // what the user types next replaces it instead of joining it.
    if (FAutoSelect)
      selectAll();
  }
}

void TPBNumEdit::DoEnter(Qt::FocusReason reason) {
  if (OnEnter)
    OnEnter(this);
  if (reason == Qt::MouseFocusReason && !(QGuiApplication::mouseButtons() & (Qt::RightButton | Qt::MiddleButton)))
    EnteredByMouse = true;
  if (FAutoSelect)
    selectAll();
}

// ---- Qt events -----------------------------------------------------------

bool TPBNumEdit::event(QEvent *e) {
  if (e->type() == RaiseEventType) {
    // Thrown here, straight under QApplication::notify.
    std::rethrow_exception(static_cast<TRaiseEvent *>(e)->Error);
  }
  if (e->type() == SeparatorsChangedEventType) {
    Guarded([&] {
      const int caret = cursorPosition();
      const QString t = ConvertSeparators(text());
      if (t != text())
        ReplaceText(t, caret);
    });
    return true;
  }
  if (e->type() == QEvent::LocaleChange)
    QCoreApplication::postEvent(this, new QEvent(SeparatorsChangedEventType));
  return QLineEdit::event(e);
}

bool TPBNumEdit::eventFilter(QObject *watched, QEvent *e) {
  // The application hears of a system locale change first; convert after
  // the locale has been refreshed, hence posted.
  if (watched == qApp && e->type() == QEvent::LocaleChange)
    QCoreApplication::postEvent(this, new QEvent(SeparatorsChangedEventType));
  return QLineEdit::eventFilter(watched, e);
}

void TPBNumEdit::keyPressEvent(QKeyEvent *e) {
  Guarded([&] {
    const int original = e->key();
    const Qt::KeyboardModifiers mods = e->modifiers();
    int key = original;
    KeyDown(key, mods);
    switch (original) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      // The form's keys when it has a use for them (default or cancel);
      // otherwise they arrive as characters, which the filter refuses.
      if (!FormUsesKey(window(), original)) {
        QChar k(original == Qt::Key_Escape ? 27 : 13);
        KeyPress(k);
      }
      e->ignore();
      return;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Up:
    case Qt::Key_Down:
      e->ignore(); // focus navigation is the form's
      return;
    default:
      break;
    }
    if (IsNavigation(e)) {
      if (key != 0)
        QLineEdit::keyPressEvent(e);
      return;
    }
    if (original == Qt::Key_Insert && (mods & (Qt::ControlModifier | Qt::ShiftModifier))) {
      if (key != 0) {
        if (mods & Qt::ControlModifier)
          CopyToClipboard();
        else
          PasteFromClipboard();
      }
      return;
    }
    QString chars;
    if (original == Qt::Key_Backspace) {
      chars = QChar(8); // refused by the filter: the deletion was on key-down
    } else if (original == Qt::Key_Delete) {
      // no character
    } else if (mods & Qt::ControlModifier) {
      if (original == Qt::Key_C)
        chars = QChar(3);
      else if (original == Qt::Key_V)
        chars = QChar(22);
      else if (original == Qt::Key_X)
        chars = QChar(24);
    } else if (!(mods & (Qt::AltModifier | Qt::MetaModifier))) {
      chars = e->text();
    }
    if (chars.isEmpty()) {
      if (original != Qt::Key_Delete && original != Qt::Key_Backspace)
        e->ignore();
      return;
    }
    for (QChar ch : chars) {
      QChar k = ch;
      KeyPress(k);
    }
    e->accept();
  });
}

void TPBNumEdit::keyReleaseEvent(QKeyEvent *e) {
  QLineEdit::keyReleaseEvent(e);
  if (e->isAutoRepeat())
    return;
  Guarded([&] {
    int key = e->key();
    KeyUp(key, e->modifiers());
  });
}

void TPBNumEdit::inputMethodEvent(QInputMethodEvent *e) {
  // Composed text is typed text: through the filter, character by character.
  Guarded([&] {
    for (QChar ch : e->commitString()) {
      QChar k = ch;
      KeyPress(k);
    }
  });
  e->accept();
}

void TPBNumEdit::focusInEvent(QFocusEvent *e) {
  QLineEdit::focusInEvent(e);
  // Coming back to an active window or from a popup is no entry: the field
  // stayed the window's focus field meanwhile.
  if (FEntered)
    return;
  FEntered = true;
  Guarded([&] { DoEnter(e->reason()); });
}

void TPBNumEdit::focusOutEvent(QFocusEvent *e) {
  QLineEdit::focusOutEvent(e);
  const Qt::FocusReason r = e->reason();
  if (r == Qt::ActiveWindowFocusReason || r == Qt::PopupFocusReason)
    return;
  if (!FEntered)
    return;
  FEntered = false;
  Guarded([&] { DoExit(); });
}

void TPBNumEdit::mousePressEvent(QMouseEvent *e) {
  QLineEdit::mousePressEvent(e);
  Guarded([&] {
    if ((e->button() == Qt::LeftButton || (e->buttons() & Qt::LeftButton)) && EnteredByMouse) {
      // The click that brought the focus must not undo the auto-selection.
      EnteredByMouse = false;
      if (FAutoSelect)
        selectAll();
    }
    if (OnMouseDown) {
      const QPoint p = e->position().toPoint();
      OnMouseDown(this, e->button(), e->modifiers(), p.x(), p.y());
    }
  });
}

void TPBNumEdit::mouseReleaseEvent(QMouseEvent *e) {
  if (e->button() == Qt::MiddleButton) {
    e->accept(); // no selection paste around the filter
    return;
  }
  QLineEdit::mouseReleaseEvent(e);
}

void TPBNumEdit::contextMenuEvent(QContextMenuEvent *e) {
  QMenu menu(this);
  const bool sel = hasSelectedText();
  const bool ro = isReadOnly();
  QAction *cut = menu.addAction(tr("Cu&t"), this, [this] { Guarded([&] { CutToClipboard(); }); });
  cut->setEnabled(sel && !ro);
  QAction *copy = menu.addAction(tr("&Copy"), this, [this] { Guarded([&] { CopyToClipboard(); }); });
  copy->setEnabled(sel);
  QAction *paste = menu.addAction(tr("&Paste"), this, [this] { Guarded([&] { PasteFromClipboard(); }); });
  paste->setEnabled(!ro && !QGuiApplication::clipboard()->text().isEmpty());
  QAction *del = menu.addAction(tr("Delete"), this, [this] { Guarded([&] { ClearSelection(); }); });
  del->setEnabled(sel && !ro);
  menu.addSeparator();
  QAction *all = menu.addAction(tr("Select All"), this, [this] { selectAll(); });
  all->setEnabled(!text().isEmpty());
  menu.exec(e->globalPos());
}

// ---- colours -------------------------------------------------------------

QColor TPBNumEdit::ParentBackground() const {
  const QWidget *p = parentWidget();
  return p ? p->palette().color(p->backgroundRole()) : FColor;
}

void TPBNumEdit::ApplyBackground() {
  QPalette p = palette();
  p.setColor(QPalette::Base, isEnabled() ? FColor : FDisabledColor);
  FApplyingColor = true;
  setPalette(p);
  FApplyingColor = false;
}

void TPBNumEdit::SetColor(const QColor &c) {
  if (c == FColor)
    return;
  FColor = c;
  if (isEnabled())
    ApplyBackground();
  if (parentWidget() && ParentBackground() != c)
    FParentColor = false;
}

void TPBNumEdit::SetDisabledColor(const QColor &c) {
  if (c == FDisabledColor)
    return;
  FDisabledColor = c;
  if (!isEnabled())
    ApplyBackground();
}

void TPBNumEdit::SetParentColor(bool b) {
  if (b == FParentColor)
    return;
  FParentColor = b;
  if (b && parentWidget())
    FColor = ParentBackground();
  ApplyBackground();
}

void TPBNumEdit::changeEvent(QEvent *e) {
  QLineEdit::changeEvent(e);
  switch (e->type()) {
  case QEvent::EnabledChange:
    ApplyBackground();
    break;
  case QEvent::PaletteChange:
  case QEvent::ParentChange:
    if (!FApplyingColor && FParentColor && parentWidget()) {
      FColor = ParentBackground();
      ApplyBackground();
      update();
    }
    break;
  default:
    break;
  }
}
