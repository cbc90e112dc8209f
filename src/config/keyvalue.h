// The value syntax of the configuration's text form and of the login file: a value is taken
// without the blanks around it, or written in double quotes (with \" \\ \n \r \t) to keep
// them and odd characters.
#pragma once

#include <QString>
#include <optional>
#include <vector>

namespace vessamo::config {

// The value as a line writes it: plain when reading it back gives it unchanged, else quoted.
QString quoteValue(const QString &value);
// The value that the text after "=" stands for; nothing for a badly closed quote.
std::optional<QString> unquoteValue(const QString &raw);

// One `key = value` line: its number (from 1), the key without its blanks, the value.
struct KeyValueLine
{
    qsizetype number = 0;
    QString key;
    QString value;
};

// The lines of a text that say something (blank lines and "#" comments are skipped), up to
// the first one that is not `key = value`; `error` then says why ("línia N: ..."). A
// caller judges the lines read before it reports `error`, so the first fault in the text
// is the one reported.
struct KeyValueText
{
    std::vector<KeyValueLine> lines;
    QString error;
};
KeyValueText readKeyValueText(const QString &text);

// The refusal of line `number`: "línia N: what".
QString lineError(qsizetype number, const QString &what);

} // namespace vessamo::config
