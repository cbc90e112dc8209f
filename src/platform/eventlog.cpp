#include "platform/eventlog.h"

#include "platform/posixfd.h"

#include <QDateTime>
#include <QFile>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace vessamo::platform {

namespace {

std::vector<JournalField> &scopeFields()
{
    static std::vector<JournalField> fields;
    return fields;
}

// The Windows event types: error, warning, information.
int priorityOf(int type)
{
    switch (type) {
    case 2:
        return LOG_WARNING;
    case 4:
        return LOG_INFO;
    default:
        return LOG_ERR;
    }
}

} // namespace

QString escapeLine(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == u'\\')
            out += u"\\\\";
        else if (c == u'\r')
            out += u"\\r";
        else if (c == u'\n')
            out += u"\\n";
        else if (c == u'\t')
            out += u"\\t";
        else if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

namespace {
LastEntryCapture *currentCapture = nullptr;
} // namespace

LastEntryCapture::LastEntryCapture()
    : outer_(currentCapture)
{
    currentCapture = this;
}

LastEntryCapture::~LastEntryCapture()
{
    currentCapture = outer_;
}

LogScope::LogScope(const char *name, const QString &value)
{
    scopeFields().push_back({QByteArray(name), value.toUtf8()});
}

LogScope::~LogScope()
{
    scopeFields().pop_back();
}

std::vector<JournalField> journalFields(int type, int id, const QString &text)
{
    std::vector<JournalField> fields = {
        {"MESSAGE", escapeLine(text).toUtf8()},
        {"PRIORITY", QByteArray::number(priorityOf(type))},
        {"SYSLOG_IDENTIFIER", "Vessamo"},
        {"SYSLOG_FACILITY", QByteArray::number(LOG_DAEMON >> 3)},
        {"SYSLOG_PID", QByteArray::number(::getpid())},
        {"VESSAMO_EVENT_TYPE", QByteArray::number(type)},
        {"VESSAMO_EVENT_ID", QByteArray::number(id)},
    };
    // Innermost first, so that a field named twice keeps the innermost value.
    const std::vector<JournalField> &scopes = scopeFields();
    for (auto it = scopes.rbegin(); it != scopes.rend(); ++it) {
        const bool named = std::any_of(fields.begin(), fields.end(),
                                       [&](const JournalField &f) { return f.name == it->name; });
        if (!named)
            fields.push_back(*it);
    }
    return fields;
}

QByteArray journalDatagram(const std::vector<JournalField> &fields)
{
    QByteArray out;
    for (const JournalField &field : fields) {
        out += field.name;
        if (!field.value.contains('\n')) {
            out += '=' + field.value + '\n';
            continue;
        }
        char size[8];
        qToLittleEndian<quint64>(quint64(field.value.size()), size);
        out += '\n';
        out.append(size, sizeof size);
        out += field.value + '\n';
    }
    return out;
}

namespace {

// An entry too big for one datagram goes as journald's own client sends it: the entry in a
// sealed memory file, whose descriptor is the only content of the datagram.
bool sendThroughMemoryFile(int socketFd, const sockaddr_un &addr, const QByteArray &datagram)
{
    UniqueFd memory(::memfd_create("vessamo-journal", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!memory.valid())
        return false;
    qsizetype written = 0;
    while (written < datagram.size()) {
        const ssize_t n = ::write(memory.get(), datagram.constData() + written,
                                  std::size_t(datagram.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    // journald refuses a file that could still change under it.
    if (::fcntl(memory.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL)
        != 0)
        return false;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message {};
    message.msg_name = const_cast<sockaddr_un *>(&addr);
    message.msg_namelen = sizeof addr;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    const int fd = memory.get();
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ssize_t sent;
    do {
        sent = ::sendmsg(socketFd, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent >= 0;
}

} // namespace

bool sendToJournal(const QByteArray &datagram, const QByteArray &socketPath)
{
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (socketPath.isEmpty() || std::size_t(socketPath.size()) >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, socketPath.constData(), std::size_t(socketPath.size()));
    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return false;
    const ssize_t sent
        = ::sendto(fd.get(), datagram.constData(), std::size_t(datagram.size()), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    if (sent < 0 && (errno == EMSGSIZE || errno == ENOBUFS))
        return sendThroughMemoryFile(fd.get(), addr, datagram);
    return sent == datagram.size();
}

QByteArray syslogText(const QString &text)
{
    QByteArray bytes = escapeLine(text).toUtf8();
    if (bytes.size() <= kSyslogTextMax)
        return bytes;
    const qsizetype total = bytes.size();
    const QByteArray marker = " [... " + QByteArray::number(total) + " bytes in all, cut]";
    qsizetype keep = kSyslogTextMax - marker.size();
    // Never half a character: back over UTF-8 continuation bytes.
    while (keep > 0 && (uchar(bytes[keep]) & 0xC0) == 0x80)
        --keep;
    bytes.truncate(keep);
    return bytes + marker;
}

void logEvent(int type, int id, const QString &text)
{
    if (currentCapture)
        currentCapture->last_ = text;
    // Without a journal, syslog carries it (shortened: a syslog datagram too big is lost
    // whole); both at once would show it twice in the journal.
    if (!sendToJournal(journalDatagram(journalFields(type, id, text)),
                       QByteArray(kJournalSocket))) {
        static bool opened = false;
        if (!opened) {
            openlog("Vessamo", LOG_PID, LOG_DAEMON);
            opened = true;
        }
        syslog(LOG_DAEMON | priorityOf(type), "%s", syslogText(text).constData());
    }

    const QByteArray path = qgetenv("VESSAMO_EVENTLOG");
    if (path.isEmpty())
        return;
    QFile file(QString::fromLocal8Bit(path));
    // The log quotes server replies and addresses: readable by its owner only.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return;
    const QString line = QDateTime::currentDateTime().toString(u"yyyy-MM-ddTHH:mm:ss") + u'\t'
        + QString::number(type) + u'\t' + QString::number(id) + u'\t' + escapeLine(text) + u'\n';
    file.write(line.toUtf8());
}

} // namespace vessamo::platform
