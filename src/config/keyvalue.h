// The value syntax of the configuration's text form and of the login file: a value is taken
// without the blanks around it, or written in double quotes (with \" \\ \n \r \t) to keep
// them and odd characters.
#pragma once

#include <QString>
#include <optional>

namespace vessamo::config {

// The value as a line writes it: plain when reading it back gives it unchanged, else quoted.
QString quoteValue(const QString &value);
// The value that the text after "=" stands for; nothing for a badly closed quote.
std::optional<QString> unquoteValue(const QString &raw);

} // namespace vessamo::config
