// POP3 retrieval: the STAT parser, the RETR un-stuffer and the session's state table.
#include "routing/pop3session.h"

#include "config/configuracio.h"
#include "platform/ansi.h"
#include "platform/eventlog.h"
#include "platform/socketcontrol.h"
#include "platform/tls.h"
#include "platform/wait.h"
#include "platform/wirelog.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLoggingCategory>
#include <algorithm>
#include <cstring>
#include <limits>

namespace vessamo::routing {

namespace {

// Debug output (QT_LOGGING_RULES="vessamo.routing.pop3.debug=true") is off by default:
// one line per command would flood standard output on a large mailbox.
Q_LOGGING_CATEGORY(lcPop3, "vessamo.routing.pop3", QtInfoMsg)

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// A decimal number of at most 18 digits (no overflow in qint64); false otherwise.
bool parseDecimal(QByteArrayView text, qint64 &value)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    qint64 v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

// The next blank-separated word of `line` from `pos`; empty at the end.
QByteArrayView nextWord(QByteArrayView line, qsizetype &pos)
{
    while (pos < line.size() && isBlank(line[pos]))
        ++pos;
    const qsizetype start = pos;
    while (pos < line.size() && !isBlank(line[pos]))
        ++pos;
    return line.sliced(start, pos - start);
}

// The progress bar counts in 32 bits; a mailbox of 2 GB or more saturates it.
qint32 toProgress(qint64 value)
{
    constexpr qint64 top = std::numeric_limits<qint32>::max();
    return static_cast<qint32>(std::clamp<qint64>(value, 0, top));
}

void wireLog(platform::WireSide side, QByteArrayView bytes)
{
    platform::logWire(platform::lcWirePop3(), side, bytes);
}

// One wire-log line in place of a message's text, which is never dumped.
void wireLogMessage(qint64 number, qint64 octets, bool cutOff)
{
    if (!platform::lcWirePop3().isDebugEnabled())
        return;
    const QString note = cutOff ? QStringLiteral("<message %1 cut off after %2 octets>")
                                : QStringLiteral("<message %1, %2 octets>");
    wireLog(platform::WireSide::Server, note.arg(number).arg(octets).toLatin1());
}

// Seconds for a log text: whole when they are, else with milliseconds.
QString seconds(qint64 ms)
{
    return ms % 1000 == 0 ? QString::number(ms / 1000) : QString::number(ms / 1000.0, 'f', 3);
}

} // namespace

std::optional<Pop3Stat> parseStatReply(QByteArrayView reply)
{
    qsizetype end = 0;
    while (end < reply.size() && reply[end] != '\r' && reply[end] != '\n')
        ++end;
    const QByteArrayView line = reply.first(end);
    qsizetype pos = 0;
    if (nextWord(line, pos) != QByteArrayView("+OK"))
        return std::nullopt;
    Pop3Stat stat;
    if (!parseDecimal(nextWord(line, pos), stat.count)
        || !parseDecimal(nextWord(line, pos), stat.size))
        return std::nullopt;
    return stat;
}

// --- Pop3MessageReceiver ------------------------------------------------------------------

void Pop3MessageReceiver::reset()
{
    m_phase = Phase::Status;
    m_prevCr = false;
    m_status.clear();
    m_dataReceived = 0;
}

Pop3MessageReceiver::Result Pop3MessageReceiver::feedStatus(QByteArrayView block, qsizetype &pos)
{
    const void *lf = std::memchr(block.data(), '\n', static_cast<std::size_t>(block.size()));
    const qsizetype take = lf ? static_cast<const char *>(lf) - block.data() + 1 : block.size();
    if (m_status.size() + take > kMaxStatusLine) {
        m_status.append(block.first(qMin(take, kMaxStatusLine - m_status.size())));
        m_phase = Phase::Done;
        return Result::StatusTooLong;
    }
    m_status.append(block.first(take));
    pos = take;
    if (!lf)
        return Result::NeedMore;
    if (!m_status.startsWith('+')) {
        m_phase = Phase::Done;
        return Result::NegativeStatus;
    }
    // The status line's own line end: the message starts at the beginning of a line.
    m_phase = Phase::LineStart;
    return Result::NeedMore;
}

Pop3MessageReceiver::Result Pop3MessageReceiver::feed(QByteArrayView block, QByteArray &out)
{
    qsizetype pos = 0;
    if (m_phase == Phase::Done)
        return Result::Complete;
    // Nothing to read (and an empty view may have no data to search).
    if (block.isEmpty())
        return Result::NeedMore;
    if (m_phase == Phase::Status) {
        const Result r = feedStatus(block, pos);
        if (r != Result::NeedMore || m_phase == Phase::Status)
            return r;
    }
    const char *d = block.data();
    const qsizetype n = block.size();
    m_dataReceived += n - pos;
    // Lines end in CR LF (RFC 1939 section 3); only there does a new line begin, so only
    // there is a "." stuffing or the terminator.
    while (pos < n) {
        switch (m_phase) {
        case Phase::LineStart:
            if (d[pos] == '.') {
                m_phase = Phase::Dot;
                ++pos;
            } else {
                m_phase = Phase::InLine;
            }
            break;
        case Phase::Dot:
            if (d[pos] == '\r') {
                m_phase = Phase::DotCr;
                ++pos;
            } else {
                // A stuffed line: its first "." is dropped, the rest written as it came.
                m_phase = Phase::InLine;
            }
            break;
        case Phase::DotCr:
            if (d[pos] == '\n') {
                m_phase = Phase::Done;
                return Result::Complete;
            }
            // "." CR and more before the line end: stuffed too.
            out.append('\r');
            m_prevCr = true;
            m_phase = Phase::InLine;
            break;
        case Phase::InLine: {
            const void *lf = std::memchr(d + pos, '\n', static_cast<std::size_t>(n - pos));
            if (!lf) {
                out.append(d + pos, n - pos);
                m_prevCr = d[n - 1] == '\r';
                pos = n;
                break;
            }
            const qsizetype i = static_cast<const char *>(lf) - d;
            const bool crlf = i > pos ? d[i - 1] == '\r' : m_prevCr;
            out.append(d + pos, i + 1 - pos);
            m_prevCr = false;
            pos = i + 1;
            if (crlf)
                m_phase = Phase::LineStart;
            break;
        }
        case Phase::Status:
        case Phase::Done:
            return Result::Complete;
        }
    }
    return Result::NeedMore;
}

// --- Pop3Session --------------------------------------------------------------------------

Pop3Session::Pop3Session(platform::SocketControl &wsckRebre, RunContext &run, QObject *parent)
    : QObject(parent)
    , m_socket(wsckRebre)
    , m_run(run)
{
    connect(&m_socket, &platform::SocketControl::DataArrival, this,
            [this](qint32) { onDataArrival(); });
    connect(&m_socket, &platform::SocketControl::Error, this, &Pop3Session::onError);
    // Over TLS the connection is reported once the server's certificate was verified.
    connect(&m_socket, &platform::SocketControl::ConnectEvent, this, [this] {
        const QString tls = m_socket.TlsDescription();
        if (m_busy && !tls.isEmpty())
            m_run.AfegirEstat(QStringLiteral("TLS established: ") + tls);
    });
    connect(&m_socket, &platform::SocketControl::CloseEvent, this, &Pop3Session::onClose);
}

Pop3Session::~Pop3Session()
{
    if (m_busy)
        endSession();
}

QString Pop3Session::host() const
{
    return bustia_.Servidor;
}

void Pop3Session::LlegirBustia(const config::Bustia &bustia)
{
    bustia_ = bustia;
    m_state = Pop3State::Greeting;
    m_count = m_number = m_total = m_received = 0;
    m_reply.clear();
    m_receiver.reset();
    m_file.reset();
    m_committed.clear();
    m_lastCommand.clear();
    m_retrPending = m_draining = m_quitSent = m_failed = false;

    m_run.view.setLabel(QStringLiteral("Llegint correu de ") + bustia.Usuari);
    m_socket.Close();
    m_socket.SetLocalPort(0);
    m_busy = true;
    m_started = QDeadlineTimer::current();
    m_sessionDeadline = m_started + ticksMs(kSessionBaseTicks);
    m_idleDeadline = QDeadlineTimer(ticksMs(kIdleLimitTicks));
    const quint16 port = bustia.port();
    const bool tls
        = platform::tlsModeFor(platform::MailProtocol::Pop3, port) == platform::TlsMode::Implicit;
    m_socket.SetImplicitTls(tls, tls ? platform::clientTlsConfiguration() : QSslConfiguration());
    m_socket.Connect(bustia.Servidor, port);
    while (m_busy && !m_run.abort.requested()) {
        // Data moves the idle deadline on, a failure brings the session's deadline in to
        // the QUIT grace: the wait is re-entered until a deadline really passed.
        const QDeadlineTimer next = std::min(m_idleDeadline, m_sessionDeadline);
        const auto done = [this, next] { return !m_busy || m_sessionDeadline < next; };
        if (!platform::waitUntil(done, next, &m_run.abort) && !m_run.abort.requested()
            && (m_idleDeadline.hasExpired() || m_sessionDeadline.hasExpired()))
            timeLimitReached();
    }
    // Stopped by the run (safety timer, SIGTERM, "Tancar"): cut off where it stands.
    if (m_busy)
        endSession();
}

void Pop3Session::onDataArrival()
{
    m_run.progressed();
    const QByteArray block = m_socket.GetData();
    if (!m_busy || block.isEmpty())
        return;
    m_idleDeadline = QDeadlineTimer(ticksMs(kIdleLimitTicks));
    if (m_draining) {
        drain(block);
        return;
    }
    if (m_state == Pop3State::Retr) {
        handleMessageData(block);
        return;
    }
    // A reply is judged only once its line is complete ("+" may come before "OK").
    m_reply.append(block);
    if (!m_reply.contains('\n')) {
        if (m_reply.size() > kMaxReply) {
            wireLog(platform::WireSide::Server, m_reply);
            m_run.AfegirEstat(platform::fromAnsi(m_reply));
            fail(QStringLiteral("Rebent: ") + platform::fromAnsi(m_reply));
        }
        return;
    }
    QByteArray reply;
    reply.swap(m_reply);
    wireLog(platform::WireSide::Server, reply);
    const QString text = platform::fromAnsi(reply);
    m_run.AfegirEstat(text);
    if (m_state == Pop3State::Quit) {
        // Whatever the answer, the session is over; a refusal may have kept marked
        // messages, so it is reported, but the stored files stay (nothing is lost).
        if (!reply.startsWith('+') && !m_failed)
            platform::logError(QStringLiteral("Rebent: ") + text);
        endSession();
        return;
    }
    if (!reply.startsWith('+')) {
        // A refused DELE leaves the message on the server: its stored copy must go, or
        // the next run would forward it a second time.
        if (m_state == Pop3State::Dele && !m_committed.isEmpty())
            removeStoredPair(m_committed.takeLast());
        fail(QStringLiteral("Rebent: ") + text);
        return;
    }
    handleReply(reply);
}

void Pop3Session::handleReply(const QByteArray &reply)
{
    const config::Bustia &bustia = bustia_;
    switch (m_state) {
    case Pop3State::Greeting: {
        m_count = 0;
        const QString user = QStringLiteral("USER ") + bustia.Usuari;
        m_state = Pop3State::User;
        sendCommand(platform::toAnsi(user), user);
        break;
    }
    case Pop3State::User:
        m_state = Pop3State::Pass;
        sendCommand(platform::toAnsi(QStringLiteral("PASS ") + bustia.Contrassenya),
                    QStringLiteral("PASS *******"));
        break;
    case Pop3State::Pass:
        m_state = Pop3State::Stat;
        sendCommand(QByteArrayLiteral("STAT"), QStringLiteral("STAT"));
        break;
    case Pop3State::Stat: {
        const std::optional<Pop3Stat> stat = parseStatReply(reply);
        if (!stat) {
            fail(QStringLiteral("Rebent: ") + platform::fromAnsi(reply));
            return;
        }
        m_count = stat->count;
        m_total = stat->size;
        m_received = 0;
        // The announced size buys time at the slowest rate allowed.
        const qint64 allowance = ticksMs(kSessionBaseTicks + m_total / kMinOctetsPerTick);
        m_sessionDeadline = m_started + std::min(allowance, kMaxSessionMs);
        if (m_count < 1)
            sendQuit();
        else
            startMessage(1);
        break;
    }
    case Pop3State::Dele:
        if (m_number >= m_count) {
            m_run.view.setProgress(toProgress(m_total));
            sendQuit();
        } else {
            startMessage(m_number + 1);
        }
        break;
    case Pop3State::Quit:
    case Pop3State::Retr:
        break; // handled before
    }
}

void Pop3Session::startMessage(qint64 number)
{
    m_file.emplace(ObrirParella(m_run, bustia_.EnviarA));
    if (!m_file->isOpen()) {
        QString error = m_file->errorString();
        m_file.reset();
        if (error.isEmpty())
            error = QStringLiteral("Rebent: no s'ha pogut crear el missatge a la cua");
        fail(error);
        return;
    }
    if (number == 1) {
        m_run.view.setProgressMaximum(toProgress(m_total));
        m_run.view.setProgress(0);
    }
    m_receiver.reset();
    m_number = number;
    m_state = Pop3State::Retr;
    m_retrPending = true;
    const QByteArray command = QByteArrayLiteral("RETR ") + QByteArray::number(number);
    sendCommand(command, QString::fromLatin1(command));
}

void Pop3Session::handleMessageData(QByteArrayView block)
{
    const qint64 before = m_receiver.dataReceived();
    m_out.resize(0);
    const Pop3MessageReceiver::Result result = m_receiver.feed(block, m_out);
    if (result == Pop3MessageReceiver::Result::NegativeStatus
        || result == Pop3MessageReceiver::Result::StatusTooLong) {
        // RETR refused (or not a POP3 reply at all): nothing of it is stored.
        m_retrPending = result == Pop3MessageReceiver::Result::StatusTooLong;
        wireLog(platform::WireSide::Server, m_receiver.statusLine());
        const QString text = platform::fromAnsi(m_receiver.statusLine());
        m_run.AfegirEstat(text);
        fail(QStringLiteral("Rebent: ") + text);
        return;
    }
    const qint64 limit = messageSizeLimit(m_total);
    if (m_receiver.dataReceived() > limit) {
        fail(QStringLiteral("Rebent: el missatge %1 de %2 supera els %3 octets (la bústia "
                            "n'anunciava %4 en total); es queda al servidor")
                 .arg(QString::number(m_number), host(), QString::number(limit),
                      QString::number(m_total)));
        return;
    }
    if (!m_out.isEmpty() && !m_file->write(m_out)) {
        fail(m_file->errorString());
        return;
    }
    m_received = qMin(m_received + (m_receiver.dataReceived() - before), m_total);
    m_run.view.setProgress(toProgress(m_received));
    if (result == Pop3MessageReceiver::Result::Complete)
        messageComplete();
}

void Pop3Session::drain(QByteArrayView block)
{
    // The rest of a RETR reply abandoned after QUIT was sent; the QUIT reply follows it.
    m_out.resize(0);
    if (m_receiver.feed(block, m_out) != Pop3MessageReceiver::Result::NeedMore)
        m_draining = false;
}

void Pop3Session::messageComplete()
{
    m_retrPending = false;
    wireLog(platform::WireSide::Server, m_receiver.statusLine());
    wireLogMessage(m_number, m_file->size(), false);
    const QueuePair pair = m_file->pair();
    if (!m_file->commit()) {
        // commit() has discarded the pair; the message stays on the server.
        const QString error = m_file->errorString();
        m_file.reset();
        fail(error);
        return;
    }
    m_file.reset();
    m_committed << pair;
    m_state = Pop3State::Dele;
    const QByteArray command = QByteArrayLiteral("DELE ") + QByteArray::number(m_number);
    sendCommand(command, QString::fromLatin1(command));
}

void Pop3Session::sendQuit()
{
    // QUIT makes the server delete what was marked: everything stored must be on disk first.
    if (!m_committed.isEmpty()) {
        const StoreResult synced
            = syncQueuedFiles(m_committed, m_run.configuration.Configuracio.CarpetaCua);
        if (!synced) {
            if (!m_failed)
                platform::logError(synced.error);
            m_failed = true;
            endSession();
            return;
        }
    }
    m_state = Pop3State::Quit;
    // A server that closed before our QUIT reached it deletes nothing: the session then
    // ends as one without QUIT.
    if (!sendCommand(QByteArrayLiteral("QUIT"), QStringLiteral("QUIT"))) {
        endSession();
        return;
    }
    m_quitSent = true;
}

bool Pop3Session::sendCommand(const QByteArray &command, const QString &statusText)
{
    // The status text, never the command: PASS is masked there.
    qCDebug(lcPop3) << "sent" << statusText << "now awaiting" << pop3StateName(m_state);
    if (platform::lcWirePop3().isDebugEnabled())
        wireLog(platform::WireSide::Client, platform::toAnsi(statusText));
    const bool sent = m_socket.SendData(command + "\r\n");
    m_run.AfegirEstat(statusText);
    m_lastCommand = statusText;
    return sent;
}

void Pop3Session::timeLimitReached()
{
    if (m_quitSent) {
        // Nothing came after QUIT: the stored files stay, as the server may have deleted.
        if (!m_failed)
            platform::logError(QStringLiteral("Rebent: el servidor ") + host()
                               + QStringLiteral(" no ha respost a QUIT"));
        endSession();
        return;
    }
    const QString cutOff = m_file
        ? QStringLiteral("; el missatge %1 es queda al servidor").arg(m_number)
        : QString();
    if (m_sessionDeadline.hasExpired()) {
        const qint64 ms = m_sessionDeadline.deadline() - m_started.deadline();
        fail(QStringLiteral("Rebent: la sessió amb %1 ha superat el temps màxim de %2 s")
                 .arg(host(), seconds(ms))
             + cutOff);
        return;
    }
    const QString awaited = m_lastCommand.isEmpty() ? QStringLiteral("la connexió") : m_lastCommand;
    // A silent server is not asked to QUIT: it would not answer, and one that woke up
    // later must not delete what this session no longer keeps.
    fail(QStringLiteral("Rebent: el servidor %1 no ha respost en %2 s a %3")
                 .arg(host(), seconds(ticksMs(kIdleLimitTicks)), awaited)
             + cutOff,
         false);
}

void Pop3Session::fail(const QString &logText, bool mayQuit)
{
    qCDebug(lcPop3) << "failed in state" << pop3StateName(m_state);
    if (!m_failed)
        platform::logError(logText);
    m_failed = true;
    const bool loggedIn = m_state >= Pop3State::Stat;
    if (!mayQuit || !loggedIn || m_quitSent
        || m_socket.State() != platform::SocketControl::sckConnected) {
        endSession();
        return;
    }
    // Logged in: QUIT commits the DELEs of the messages stored before. A message cut off
    // is dropped first; it was never marked.
    if (m_file) {
        wireLogMessage(m_number, m_file->size(), true);
        m_file->discard();
        m_file.reset();
    }
    m_draining = m_retrPending;
    m_reply.clear();
    m_sessionDeadline = QDeadlineTimer(ticksMs(kQuitGraceTicks));
    sendQuit();
}

void Pop3Session::onError(qint16 number, const QString &description)
{
    if (m_busy)
        socketFailure(number, description);
}

void Pop3Session::onClose()
{
    // After the QUIT reply the session is already over and the socket closed.
    if (m_busy)
        socketFailure(10053, QStringLiteral("The remote host closed the connection"));
}

void Pop3Session::socketFailure(qint16 number, const QString &description)
{
    // Once QUIT has been sent, a server that closes (or resets) without its reply has
    // ended the session as asked.
    if (!m_quitSent && !m_failed) {
        platform::logError(QStringLiteral("Rebent Winsock: ") + QString::number(number)
                           + QStringLiteral(": ") + description);
    }
    endSession();
}

void Pop3Session::removeStoredPair(const QueuePair &pair) const
{
    // The message goes first: a forward-to file alone is dropped by the pair check.
    const QString queue = queuefiles::asFolder(m_run.configuration.Configuracio.CarpetaCua);
    QFile::remove(queue + pair.messageName());
    QFile::remove(queue + pair.forwardToName());
}

void Pop3Session::endSession()
{
    m_busy = false;
    m_draining = false;
    m_socket.Close();
    m_reply.clear();
    // A message cut off is not kept: it was not marked for deletion, the next run fetches
    // it whole.
    if (m_file) {
        wireLogMessage(m_number, m_file->size(), true);
        m_file->discard();
        m_file.reset();
    }
    // Without QUIT the server keeps every message of this session: the stored copies go,
    // so that the next run's fetch is the only one forwarded.
    if (!m_quitSent) {
        for (const QueuePair &pair : std::as_const(m_committed))
            removeStoredPair(pair);
    }
    m_committed.clear();
}

} // namespace vessamo::routing
