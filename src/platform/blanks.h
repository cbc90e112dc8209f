// Trimming of blanks only, as the old code page texts were trimmed: tabs, CR and LF are
// kept, unlike QString::trimmed().
#pragma once

#include <QByteArray>
#include <QString>

namespace vessamo::platform {

template<typename Text> Text trimBlanks(const Text &text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == u' ')
        ++first;
    while (last > first && text.at(last - 1) == u' ')
        --last;
    return text.mid(first, last - first);
}

} // namespace vessamo::platform
