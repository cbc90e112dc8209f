// The body of vessamo-send's message, made ready to be read twice in pieces: standard input
// (or any body that is not a regular file: a pipe, a device) is copied to a private
// temporary file as it comes, never held in memory. Text in UTF-8 that ISO-8859-1 holds is
// turned into ISO-8859-1 (in a second private file), the character set the body part names
// as before; other UTF-8 text keeps its bytes and names UTF-8; bytes that are not UTF-8 pass
// as they are, named ISO-8859-1.
#pragma once

#include <QFile>
#include <QString>
#include <memory>

class QIODevice;

namespace vessamo::sendtool {

struct BodyFile
{
    std::unique_ptr<QFile> file; // open for reading
    QString charset; // "iso-8859-1" or "utf-8"
};

// The body from `path` ("-" or empty: `input`). False with `error` set when it cannot be
// read or stored.
bool openBody(const QString &path, QIODevice &input, BodyFile &body, QString &error);

// What a pass over the bytes of a text tells about its character set. Fed in pieces of any
// size.
class Utf8Scan
{
public:
    void feed(QByteArrayView bytes);
    // All bytes were UTF-8 (a sequence cut off at the end is not).
    bool valid() const { return valid_ && need_ == 0; }
    bool ascii() const { return ascii_; }
    // Every character is in ISO-8859-1 (meaningful when valid).
    bool latin1() const { return latin1_; }

private:
    int need_ = 0; // continuation octets still expected
    unsigned char low_ = 0x80, high_ = 0xBF; // the range of the next one
    bool valid_ = true, ascii_ = true, latin1_ = true;
};

} // namespace vessamo::sendtool
