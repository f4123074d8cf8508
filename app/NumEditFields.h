#pragma once
// The window's use of the numeric edit field, kept in one translation unit:
// the field's header and the port component's header both name a
// TNotifyEvent, so they cannot meet in one file.
#include <QWidget>
#include <cstdint>
#include <functional>

class TPBNumEdit;

// A right-aligned field for whole degrees: Decimals -1, Standard format,
// with MaxValue when maxValue is not 0.
TPBNumEdit *CreateNumEdit(QWidget *parent, QRect geometry, const QString &hint, int maxValue,
                          bool redFont);
QWidget *FieldWidget(TPBNumEdit *field);
void SetFieldValue(TPBNumEdit *field, long double value);
int32_t FieldAsInteger(TPBNumEdit *field); // throws EConvertError
// Called after the focus left the field with a value inside its range.
void SetFieldExit(TPBNumEdit *field, std::function<void()> handler);
