// vessamo-send's body: spooled to a private file when it cannot be read twice, scanned for
// its character set, narrowed to ISO-8859-1 when that holds it. Memory stays flat in the
// body's size: everything goes in pieces.
#include "sendtool/bodyfile.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vessamo::sendtool {

namespace {

constexpr qint64 kPiece = 65536;

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// A file only this process can reach: O_TMPFILE where the file system has it (no name at
// all), else a name from mkostemp removed at once. Mode 0600 either way.
std::unique_ptr<QFile> privateFile(QString &error)
{
    const QByteArray folder = QFile::encodeName(QDir::tempPath());
    int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        QByteArray name = folder + "/vessamo-send.XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0)
            ::unlink(name.constData());
    }
    if (fd < 0) {
        error = QStringLiteral("cannot create a temporary file in ") + QDir::tempPath()
            + QStringLiteral(": ") + systemError(errno);
        return {};
    }
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        error = QStringLiteral("cannot use a temporary file: ") + file->errorString();
        return {};
    }
    return file;
}

bool writeAll(QFile &file, QByteArrayView bytes, QString &error)
{
    if (file.write(bytes.data(), bytes.size()) == bytes.size())
        return true;
    error = QStringLiteral("cannot store the body: ") + file.errorString();
    return false;
}

// Copies `from` into a private file (narrowed to ISO-8859-1 when `narrow`), scanning what
// it reads.
std::unique_ptr<QFile> copyBody(QIODevice &from, bool narrow, Utf8Scan &scan, QString &error)
{
    auto file = privateFile(error);
    if (!file)
        return {};
    bool pendingLead = false; // a C2 or C3 octet whose continuation is in the next piece
    char lead = 0;
    for (;;) {
        const QByteArray piece = from.read(kPiece);
        if (piece.isEmpty()) {
            const auto *device = qobject_cast<const QFileDevice *>(&from);
            if (device ? device->error() != QFileDevice::NoError : !from.atEnd()) {
                error = QStringLiteral("cannot read the body: ") + from.errorString();
                return {};
            }
            break;
        }
        scan.feed(piece);
        if (!narrow) {
            if (!writeAll(*file, piece, error))
                return {};
            continue;
        }
        // Valid UTF-8 of ISO-8859-1 characters only: C2 xx is xx, C3 xx is xx + 0x40.
        QByteArray out;
        out.reserve(piece.size());
        for (const char c : piece) {
            if (pendingLead) {
                out.append(lead == '\xC3' ? char(c + 0x40) : c);
                pendingLead = false;
            } else if (c == '\xC2' || c == '\xC3') {
                lead = c;
                pendingLead = true;
            } else {
                out.append(c);
            }
        }
        if (!writeAll(*file, out, error))
            return {};
    }
    if (!file->flush() || !file->seek(0)) {
        error = QStringLiteral("cannot store the body: ") + file->errorString();
        return {};
    }
    return file;
}

} // namespace

void Utf8Scan::feed(QByteArrayView bytes)
{
    for (const char byte : bytes) {
        if (!valid_)
            return;
        const auto c = static_cast<unsigned char>(byte);
        if (need_ > 0) {
            valid_ = c >= low_ && c <= high_;
            low_ = 0x80;
            high_ = 0xBF;
            --need_;
            continue;
        }
        if (c < 0x80)
            continue;
        ascii_ = false;
        latin1_ = latin1_ && (c == 0xC2 || c == 0xC3);
        // RFC 3629 section 4: no overlong forms, no surrogates, nothing above U+10FFFF.
        if (c >= 0xC2 && c <= 0xDF) {
            need_ = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need_ = 2;
            low_ = c == 0xE0 ? 0xA0 : 0x80;
            high_ = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need_ = 3;
            low_ = c == 0xF0 ? 0x90 : 0x80;
            high_ = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            valid_ = false;
        }
    }
}

bool openBody(const QString &path, QIODevice &input, BodyFile &body, QString &error)
{
    const bool fromInput = path.isEmpty() || path == u"-";
    QFile named(fromInput ? QString() : path);
    if (!fromInput && !named.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the body file ") + path + QStringLiteral(": ")
            + named.errorString();
        return false;
    }
    QIODevice &source = fromInput ? input : static_cast<QIODevice &>(named);
    // A regular file can be read again; anything else is read once, into a private copy.
    Utf8Scan scan;
    std::unique_ptr<QFile> file;
    if (!fromInput && QFileInfo(path).isFile()) {
        file = std::make_unique<QFile>(path);
        if (!file->open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read the body file ") + path + QStringLiteral(": ")
                + file->errorString();
            return false;
        }
        for (QByteArray piece; !(piece = named.read(kPiece)).isEmpty();)
            scan.feed(piece);
        if (named.error() != QFileDevice::NoError) {
            error = QStringLiteral("cannot read the body file ") + path + QStringLiteral(": ")
                + named.errorString();
            return false;
        }
    } else {
        file = copyBody(source, false, scan, error);
        if (!file)
            return false;
    }
    body.charset = scan.valid() && !scan.ascii() && !scan.latin1() ? QStringLiteral("utf-8")
                                                                   : QStringLiteral("iso-8859-1");
    if (scan.valid() && !scan.ascii() && scan.latin1()) {
        Utf8Scan again;
        file = copyBody(*file, true, again, error);
        if (!file)
            return false;
    }
    body.file = std::move(file);
    return true;
}

} // namespace vessamo::sendtool
