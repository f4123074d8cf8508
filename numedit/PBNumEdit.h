#pragma once
// A single-line field that holds one number. Every typed character goes
// through a filter that keeps the text a well-formed number; the value is
// shown in one of four formats with the locale's separators, and an optional
// range is checked when the focus leaves the field.
//
// Errors: reading Value/AsInteger of a text that does not parse throws
// EConvertError to the caller. Errors that arise inside the control's own
// event handling (focus exit, key filter) are not thrown through Qt's event
// code: the handler stops there and the exception is re-thrown from a posted
// event on the control, so it reaches QApplication::notify with a clean
// stack. The application's notify override is the place to catch it.
#include <QChar>
#include <QColor>
#include <QLineEdit>
#include <QString>

#include <cstdint>
#include <functional>

enum class TNumberFormat { Standard = 0, Thousands = 1, Scientific = 2, Engineering = 3 };
enum class TAlignment { taLeftJustify = 0, taRightJustify = 1, taCenter = 2 };

class TPBNumEdit : public QLineEdit {
  Q_OBJECT
public:
  // Event types live in the class: other units have their own of these names.
  using TNotifyEvent = std::function<void(TPBNumEdit *Sender)>;
  // Key may be set to 0 to stop the control's own key-down handling.
  using TKeyEvent = std::function<void(TPBNumEdit *Sender, int &Key, Qt::KeyboardModifiers Shift)>;
  // Key may be changed, or set to a null character to swallow it.
  using TKeyPressEvent = std::function<void(TPBNumEdit *Sender, QChar &Key)>;
  using TMouseEvent =
      std::function<void(TPBNumEdit *Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y)>;

  // The largest decimal exponent a typed number may have: the range of the
  // extended type the value is kept in.
  static constexpr int32_t MaxExponent = 4932;

  explicit TPBNumEdit(QWidget *parent = nullptr);
  ~TPBNumEdit() override;

  // Properties.
  TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment a);
  int Decimals() const { return FDecimals; }
  void SetDecimals(int d);
  long double MinValue() const { return FMinValue; }
  void SetMinValue(long double x);
  long double MaxValue() const { return FMaxValue; }
  void SetMaxValue(long double x);
  long double Value() const; // throws EConvertError
  void SetValue(long double x);
  int32_t AsInteger() const; // throws EConvertError; saturates outside 32 bits
  TNumberFormat NumberFormat() const { return FNumberFormat; }
  void SetNumberFormat(TNumberFormat f);
  QColor Color() const { return FColor; }
  void SetColor(const QColor &c);
  QColor DisabledColor() const { return FDisabledColor; }
  void SetDisabledColor(const QColor &c);
  bool ParentColor() const { return FParentColor; }
  void SetParentColor(bool b);
  QString Version() const { return QStringLiteral("8.50.00.00"); }
  void SetVersion(const QString &) {} // informational only
  bool AutoSelect() const { return FAutoSelect; }
  void SetAutoSelect(bool b) { FAutoSelect = b; }
  // Limit for typed characters; 0 = none. Texts the control sets itself are
  // never cut short.
  int MaxLength() const { return FMaxLength; }
  void SetMaxLength(int n) { FMaxLength = n < 0 ? 0 : n; }

  // Events; empty by default, called only when assigned.
  TNotifyEvent OnInvalidEntry;
  TNotifyEvent OnClear;
  TNotifyEvent OnEnter;
  TNotifyEvent OnExit;
  TNotifyEvent OnChange;
  TKeyEvent OnKeyDown;
  TKeyPressEvent OnKeyPress;
  TKeyEvent OnKeyUp;
  TMouseEvent OnMouseDown;

  // Text for a value in the current format with the locale's separators.
  QString FormatValue(long double x) const;
  // s without thousands separators, in the locale's current separators.
  QString PlainText(const QString &s) const;

  // Clipboard requests, also reached by the usual keys and the context menu.
  void CopyToClipboard();
  void CutToClipboard();
  void PasteFromClipboard();
  void ClearSelection();

  // The key steps as the key events drive them (key-down, character,
  // key-up); public so the filter can be driven without a window.
  void KeyDown(int &Key, Qt::KeyboardModifiers Shift);
  void KeyPress(QChar &Key);
  void KeyUp(int &Key, Qt::KeyboardModifiers Shift);

  // The default beep; tests replace it to count beeps. Empty = system beep.
  static void SetBeepHandler(std::function<void()> handler);

signals:
  // The focus left the field with a value that passed the range check;
  // emitted together with OnExit.
  void exited();

protected:
  bool event(QEvent *e) override;
  bool eventFilter(QObject *watched, QEvent *e) override;
  void keyPressEvent(QKeyEvent *e) override;
  void keyReleaseEvent(QKeyEvent *e) override;
  void focusInEvent(QFocusEvent *e) override;
  void focusOutEvent(QFocusEvent *e) override;
  void mousePressEvent(QMouseEvent *e) override;
  void mouseReleaseEvent(QMouseEvent *e) override;
  void contextMenuEvent(QContextMenuEvent *e) override;
  void inputMethodEvent(QInputMethodEvent *e) override;
  void changeEvent(QEvent *e) override;

private:
  void DoEnter(Qt::FocusReason reason);
  void DoExit();
  void HandleInvalidEntry();
  void DeleteChar(int Key);
  void DeleteSelection();
  QString ConvertSeparators(const QString &s);
  QString MapSeparators(const QString &s) const;
  void ReplaceText(const QString &s, int caret);
  void SetFormattedText(const QString &s);
  bool InsertTyped(QChar c);
  int SelStart() const;
  void ApplyBackground();
  QColor ParentBackground() const;
  static void Beep();
  template <class F>
  void Guarded(F &&f);

  TAlignment FAlignment = TAlignment::taRightJustify;
  int8_t FDecimals = -1;
  long double FMinValue = 0;
  long double FMaxValue = 0;
  TNumberFormat FNumberFormat = TNumberFormat::Standard;
  QColor FColor;
  QColor FDisabledColor;
  bool FParentColor = false;
  bool FAutoSelect = true;
  int FMaxLength = 0;

  bool EnteredByMouse = false;
  QChar SavedDecimalSeparator;
  QChar SavedThousandSeparator;
  bool FEntered = false;       // focus-in seen, exit not yet handled
  bool FApplyingColor = false; // our own palette change
};
