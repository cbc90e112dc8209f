// A UU decoder written from the format's description, apart from the encoder it checks:
// the first character of a line gives its byte count, every four characters after it give
// three bytes, and whatever follows the count is filler.
#pragma once

#include <QByteArray>

namespace vessamo::test {

inline QByteArray uuDecodeLine(const QByteArray &line)
{
    const auto value = [](char c) { return unsigned(static_cast<unsigned char>(c) - 32) & 63; };
    const unsigned count = line.isEmpty() ? 0 : value(line.at(0));
    QByteArray out;
    for (qsizetype i = 1; unsigned(out.size()) < count && i + 1 < line.size(); i += 4) {
        const auto at = [&](qsizetype k) { return k < line.size() ? value(line.at(k)) : 0u; };
        const unsigned word = at(i) << 18 | at(i + 1) << 12 | at(i + 2) << 6 | at(i + 3);
        out.append(char(word >> 16)).append(char(word >> 8)).append(char(word));
    }
    return out.left(count);
}

// The file between "begin 600 NAME" and "end" in a text, or a null array when there is no
// such block.
inline QByteArray uuDecodeBlock(const QByteArray &text, const QByteArray &name)
{
    const QByteArray begin = "begin 600 " + name + "\r\n";
    const qsizetype start = text.indexOf(begin);
    if (start < 0)
        return {};
    QByteArray out("");
    qsizetype pos = start + begin.size();
    for (qsizetype eol; (eol = text.indexOf("\r\n", pos)) >= 0; pos = eol + 2) {
        const QByteArray line = text.mid(pos, eol - pos);
        if (line == "end")
            return out;
        out += uuDecodeLine(line);
    }
    return {};
}

} // namespace vessamo::test
