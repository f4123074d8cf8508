#pragma once
// Number text shared by the numeric edit's formatting and its key handling.
#include <QChar>
#include <QString>

namespace numtext {

// The separators of the user's locale as it is now.
QChar CurrentDecimalSeparator();
QChar CurrentThousandSeparator();

// Sign, digits with one decimal separator `dec`, optional exponent
// "E[+-]digits"; at least one mantissa digit; blanks around allowed. Read
// without the process locale.
bool ParseNumber(const QString &text, QChar dec, long double &out);

} // namespace numtext
