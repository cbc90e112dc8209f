#include "platform/eventlog.h"

#include "platform/posixfd.h"

#include <QDateTime>
#include <QFile>
#include <QtEndian>
#include <algorithm>
#include <cstring>
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
    return sent == datagram.size();
}

void logEvent(int type, int id, const QString &text)
{
    // Without a journal (or with an entry too big for one datagram), syslog carries it;
    // both at once would show it twice in the journal.
    if (!sendToJournal(journalDatagram(journalFields(type, id, text)),
                       QByteArray(kJournalSocket))) {
        static bool opened = false;
        if (!opened) {
            openlog("Vessamo", LOG_PID, LOG_DAEMON);
            opened = true;
        }
        syslog(LOG_DAEMON | priorityOf(type), "%s", escapeLine(text).toUtf8().constData());
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
