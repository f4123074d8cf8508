#pragma once
// The window's use of the numeric edit field, kept in one place: how the
// four position fields are set up, written, read and hooked.
#include <QWidget>
#include <cstdint>
#include <functional>

class TPBNumEdit;

// A right-aligned field for whole degrees: Decimals -1, Standard format,
// with MaxValue when maxValue is not 0.
TPBNumEdit *CreateNumEdit(QWidget *parent, QRect geometry, const QString &hint, int maxValue, bool redFont);
QWidget *FieldWidget(TPBNumEdit *field);
void SetFieldValue(TPBNumEdit *field, long double value);
int32_t FieldAsInteger(TPBNumEdit *field); // throws EConvertError
// Called after the focus left the field with a value inside its range.
void SetFieldExit(TPBNumEdit *field, std::function<void()> handler);
