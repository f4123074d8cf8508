#include "app/NumEditFields.h"

#include "numedit/PBNumEdit.h"

#include <utility>

TPBNumEdit *CreateNumEdit(QWidget *parent, QRect geometry, const QString &hint, int maxValue, bool redFont) {
  auto *f = new TPBNumEdit(parent);
  f->setGeometry(geometry);
  f->setToolTip(hint);
  f->SetAlignment(TAlignment::taRightJustify);
  f->SetDecimals(-1);
  f->SetNumberFormat(TNumberFormat::Standard);
  if (maxValue != 0)
    f->SetMaxValue(maxValue);
  if (redFont) {
    QPalette pal = f->palette();
    pal.setColor(QPalette::Text, QColor(255, 0, 0));
    f->setPalette(pal);
  }
  return f;
}

QWidget *FieldWidget(TPBNumEdit *field) { return field; }

void SetFieldValue(TPBNumEdit *field, long double value) { field->SetValue(value); }

int32_t FieldAsInteger(TPBNumEdit *field) { return field->AsInteger(); }

void SetFieldExit(TPBNumEdit *field, std::function<void()> handler) {
  field->OnExit = [h = std::move(handler)](TPBNumEdit *) { h(); };
}
