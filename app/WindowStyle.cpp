#include "app/WindowStyle.h"

#include <QApplication>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOptionComplex>

namespace {

class NarrowDropDownStyle : public QProxyStyle {
public:
  QRect subControlRect(ComplexControl control, const QStyleOptionComplex *option, SubControl sub,
                       const QWidget *widget) const override {
    QRect r = QProxyStyle::subControlRect(control, option, sub, widget);
    if (control != CC_ComboBox || (sub != SC_ComboBoxArrow && sub != SC_ComboBoxEditField))
      return r;
    const int spare =
        QProxyStyle::subControlRect(control, option, SC_ComboBoxArrow, widget).width() - ComboDropDownWidth;
    if (spare <= 0)
      return r;
    const bool arrowOnRight = option->direction != Qt::RightToLeft;
    if (sub == SC_ComboBoxArrow)
      return arrowOnRight ? r.adjusted(spare, 0, 0, 0) : r.adjusted(0, 0, -spare, 0);
    return arrowOnRight ? r.adjusted(0, 0, spare, 0) : r.adjusted(-spare, 0, 0, 0);
  }
};

} // namespace

QStyle *ComboBoxStyle() {
  // Made once; goes with the application object.
  static QPointer<QStyle> style;
  if (style.isNull()) {
    style = new NarrowDropDownStyle;
    style->setParent(QCoreApplication::instance());
  }
  return style.data();
}
