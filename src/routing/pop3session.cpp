// POP3 retrieval: the session's table of states and the session that runs it.
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
#include <array>
#include <limits>

namespace vessamo::routing {

namespace {

// Debug output (QT_LOGGING_RULES="vessamo.routing.pop3.debug=true") is off by default:
// one line per command would flood standard output on a large mailbox.
Q_LOGGING_CATEGORY(lcPop3, "vessamo.routing.pop3", QtInfoMsg)

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

// --- The session's states -----------------------------------------------------------------

// What follows a state's command word.
enum class Argument {
    None,
    UserName, // the mailbox's user
    Password, // the mailbox's password, masked wherever the command is shown
    UserAndDigest, // the user and the APOP digest, the digest masked
    SaslStart, // the mechanism, and the initial response (masked) when it is sent
    SaslResponse, // the command is the Base64 answer alone, masked
    MessageNumber, // the message the session is at
};

// How a state's reply ends.
enum class ReplyKind {
    Line, // one line, judged once its line end came
    MultiLine, // a status line, then data up to a line holding "." alone (un-stuffed)
    Capabilities, // as MultiLine, kept in memory (at most kMaxCapaReply) and judged whole
};

// What a failure while a state's reply is awaited means: a refusal, a reply that makes no
// sense, silence, a message that cannot be stored.
enum class Failure {
    Disconnect, // not logged in: the connection ends at once; nothing has been stored
    Quit, // logged in: QUIT still commits the DELEs of the messages stored before
    UnstoreAndQuit, // as Quit; a refusal left the message unmarked, so its stored copy goes
    Over, // QUIT is out: the session ends whatever comes; what is stored stays
};

struct StateRow
{
    Pop3State state;
    const char *name;
    const char *command; // sent on entering the state; none for the greeting (the connection)
    Argument argument;
    ReplyKind reply;
    int silenceTicks; // silence allowed while the reply is awaited, in safety-timer ticks
    Failure failure;
};

constexpr int kSilence = Pop3Session::kIdleLimitTicks;

// One row per state, in the enum's order. A new state is a row here and a case of judge().
// clang-format off
constexpr auto kStates = std::to_array<StateRow>({
    // state                 name            command  argument                 reply                    silence   failure
    {Pop3State::Greeting,     "Greeting",     nullptr, Argument::None,          ReplyKind::Line,         kSilence, Failure::Disconnect},
    {Pop3State::Capa,         "Capa",         "CAPA",  Argument::None,          ReplyKind::Capabilities, kSilence, Failure::Disconnect},
    {Pop3State::User,         "User",         "USER",  Argument::UserName,      ReplyKind::Line,         kSilence, Failure::Disconnect},
    {Pop3State::Pass,         "Pass",         "PASS",  Argument::Password,      ReplyKind::Line,         kSilence, Failure::Disconnect},
    {Pop3State::Apop,         "Apop",         "APOP",  Argument::UserAndDigest, ReplyKind::Line,         kSilence, Failure::Disconnect},
    {Pop3State::Auth,         "Auth",         "AUTH",  Argument::SaslStart,     ReplyKind::Line,         kSilence, Failure::Disconnect},
    {Pop3State::AuthResponse, "AuthResponse", "",      Argument::SaslResponse,  ReplyKind::Line,         kSilence, Failure::Disconnect},
    {Pop3State::AuthCancel,   "AuthCancel",   "*",     Argument::None,          ReplyKind::Line,         kSilence, Failure::Disconnect},
    {Pop3State::Stat,         "Stat",         "STAT",  Argument::None,          ReplyKind::Line,         kSilence, Failure::Quit},
    {Pop3State::Retr,         "Retr",         "RETR",  Argument::MessageNumber, ReplyKind::MultiLine,    kSilence, Failure::Quit},
    {Pop3State::Dele,         "Dele",         "DELE",  Argument::MessageNumber, ReplyKind::Line,         kSilence, Failure::UnstoreAndQuit},
    {Pop3State::Quit,         "Quit",         "QUIT",  Argument::None,          ReplyKind::Line,         kSilence, Failure::Over},
});
// clang-format on

constexpr bool rowsFollowTheEnum()
{
    for (std::size_t i = 0; i < kStates.size(); ++i) {
        if (static_cast<std::size_t>(kStates[i].state) != i)
            return false;
    }
    return true;
}
static_assert(kStates.size() == kPop3StateCount, "one row per state of Pop3State");
static_assert(rowsFollowTheEnum(), "the rows of kStates are in the order of Pop3State");

constexpr const StateRow &rowOf(Pop3State state)
{
    return kStates[static_cast<std::size_t>(state)];
}

} // namespace

// --- Pop3Session --------------------------------------------------------------------------

Pop3Session::Pop3Session(platform::SocketControl &wsckRebre, RunContext &run, QObject *parent)
    : QObject(parent)
    , socket_(wsckRebre)
    , run_(run)
{
    connect(&socket_, &platform::SocketControl::DataArrival, this,
            [this](qint32) { onDataArrival(); });
    connect(&socket_, &platform::SocketControl::Error, this, &Pop3Session::onError);
    // Over TLS the connection is reported once the server's certificate was verified.
    connect(&socket_, &platform::SocketControl::ConnectEvent, this, [this] {
        const QString tls = socket_.TlsDescription();
        if (busy_ && !tls.isEmpty())
            run_.AfegirEstat(QStringLiteral("TLS established: ") + tls);
    });
    connect(&socket_, &platform::SocketControl::CloseEvent, this, &Pop3Session::onClose);
}

Pop3Session::~Pop3Session()
{
    if (busy_)
        endSession();
}

QString Pop3Session::host() const
{
    return bustia_.Servidor;
}

void Pop3Session::LlegirBustia(const config::Bustia &bustia, const Pop3Login &login)
{
    bustia_ = bustia;
    login_ = login;
    greeting_.clear();
    apopDigest_.clear();
    mechanism_.reset();
    authArgument_.clear();
    saslResponse_.clear();
    initialResponse_.reset();
    initialResponseSent_ = false;
    // The greeting's "command" is the connection made below.
    enter(Pop3State::Greeting);
    count_ = number_ = total_ = received_ = 0;
    reply_.clear();
    receiver_.reset();
    file_.reset();
    committed_.clear();
    lastCommand_.clear();
    multiLinePending_ = draining_ = quitSent_ = failed_ = false;

    run_.view.setLabel(QStringLiteral("Llegint correu de ") + bustia.Usuari);
    socket_.Close();
    socket_.SetLocalPort(0);
    busy_ = true;
    started_ = QDeadlineTimer::current();
    sessionDeadline_ = started_ + ticksMs(kSessionBaseTicks);
    lastHeard_ = QDeadlineTimer::current();
    const quint16 port = bustia.port();
    const bool tls
        = platform::tlsModeFor(platform::MailProtocol::Pop3, port) == platform::TlsMode::Implicit;
    inTls_ = tls;
    socket_.SetImplicitTls(tls, tls ? platform::clientTlsConfiguration() : QSslConfiguration());
    socket_.Connect(bustia.Servidor, port);
    while (busy_ && !run_.abort.requested()) {
        // Data moves the silence deadline on, a failure brings the session's deadline in to
        // the QUIT grace (a state that allows less silence brings the other one in): the
        // wait is re-entered until a deadline really passed.
        const QDeadlineTimer next = std::min(silenceDeadline(), sessionDeadline_);
        const auto done = [this, next] {
            return !busy_ || sessionDeadline_ < next || silenceDeadline() < next;
        };
        if (!platform::waitUntil(done, next, &run_.abort) && !run_.abort.requested()
            && (silenceDeadline().hasExpired() || sessionDeadline_.hasExpired()))
            timeLimitReached();
    }
    // Stopped by the run (safety timer, SIGTERM, "Tancar"): cut off where it stands.
    if (busy_)
        endSession();
}

void Pop3Session::onDataArrival()
{
    run_.progressed();
    const QByteArray block = socket_.GetData();
    if (!busy_ || block.isEmpty())
        return;
    lastHeard_ = QDeadlineTimer::current();
    if (awaitingToken_) {
        if (reply_.size() < kMaxReply)
            reply_.append(block.left(kMaxReply - reply_.size()));
        return;
    }
    if (draining_) {
        drain(block);
        return;
    }
    if (rowOf(state_).reply == ReplyKind::MultiLine) {
        handleMessageData(block);
        return;
    }
    if (rowOf(state_).reply == ReplyKind::Capabilities) {
        collectCapabilities(block);
        return;
    }
    // A reply is judged only once its line is complete ("+" may come before "OK").
    reply_.append(block);
    if (!reply_.contains('\n')) {
        if (reply_.size() > kMaxReply) {
            wireLog(platform::WireSide::Server, reply_);
            run_.AfegirEstat(platform::fromAnsi(reply_));
            fail(QStringLiteral("Rebent: ") + platform::fromAnsi(reply_));
        }
        return;
    }
    QByteArray reply;
    reply.swap(reply_);
    const QByteArray shown = shownReply(reply);
    wireLog(platform::WireSide::Server, shown);
    run_.AfegirEstat(platform::fromAnsi(shown));
    judge(reply);
}

QDeadlineTimer Pop3Session::silenceDeadline() const
{
    return lastHeard_ + ticksMs(rowOf(state_).silenceTicks);
}

QByteArray Pop3Session::commandOf(Pop3State state, QString &shown) const
{
    const config::Bustia &bustia = bustia_;
    const StateRow &row = rowOf(state);
    const QString word = QString::fromLatin1(row.command);
    switch (row.argument) {
    case Argument::None:
        shown = word;
        return row.command;
    case Argument::UserName:
        shown = word + QStringLiteral(" ") + bustia.Usuari;
        return platform::toAnsi(shown);
    case Argument::Password:
        shown = word + QStringLiteral(" *******");
        return platform::toAnsi(word + QStringLiteral(" ") + bustia.Contrassenya);
    case Argument::UserAndDigest:
        shown = word + QStringLiteral(" ") + bustia.Usuari + QStringLiteral(" *******");
        return platform::toAnsi(word + QStringLiteral(" ") + bustia.Usuari) + ' ' + apopDigest_;
    case Argument::SaslStart: {
        const QByteArray name = authArgument_.left(authArgument_.indexOf(' '));
        shown = word + QStringLiteral(" ")
            + QString::fromLatin1(initialResponseSent_ ? name + " *******" : authArgument_);
        return QByteArray(row.command) + ' ' + authArgument_;
    }
    case Argument::SaslResponse:
        shown = QStringLiteral("*******");
        return saslResponse_;
    case Argument::MessageNumber: {
        const QByteArray command = QByteArray(row.command) + ' ' + QByteArray::number(number_);
        shown = QString::fromLatin1(command);
        return command;
    }
    }
    return {};
}

bool Pop3Session::enter(Pop3State next)
{
    state_ = next;
    const StateRow &row = rowOf(next);
    if (row.reply == ReplyKind::MultiLine) {
        receiver_.reset();
        multiLinePending_ = true;
    }
    if (!row.command)
        return true;
    QString shown;
    const QByteArray command = commandOf(next, shown);
    return sendCommand(command, shown);
}

void Pop3Session::judge(const QByteArray &reply)
{
    const bool positive = reply.startsWith('+');
    switch (state_) {
    case Pop3State::Greeting:
        if (positive)
            startLogin(reply);
        else
            refused(reply);
        break;
    case Pop3State::Capa:
        // A refusal is an answer too: the server lists nothing.
        loginWithCapabilities(parseCapaReply(reply));
        break;
    case Pop3State::User:
        if (positive)
            enter(Pop3State::Pass);
        else
            refused(reply);
        break;
    case Pop3State::Pass:
    case Pop3State::Apop:
        if (positive)
            enter(Pop3State::Stat);
        else
            refused(reply);
        break;
    case Pop3State::Auth:
    case Pop3State::AuthResponse:
        judgeSasl(reply);
        break;
    case Pop3State::AuthCancel:
        // Whatever the server says to "*", the login failed (and was logged when cancelled).
        endSession();
        break;
    case Pop3State::Stat: {
        const std::optional<Pop3Stat> stat = parseStatReply(reply);
        if (!stat) {
            refused(reply);
            break;
        }
        count_ = stat->count;
        total_ = stat->size;
        received_ = 0;
        // The announced size buys time at the slowest rate allowed.
        const qint64 allowance = ticksMs(kSessionBaseTicks + total_ / kMinOctetsPerTick);
        sessionDeadline_ = started_ + std::min(allowance, kMaxSessionMs);
        if (count_ < 1)
            sendQuit();
        else
            startMessage(1);
        break;
    }
    case Pop3State::Retr:
        // The whole message came: its data went to the queue file as it arrived (and a
        // refused status line was refused there, as soon as it was complete). Store, mark.
        messageComplete();
        break;
    case Pop3State::Dele:
        if (!positive) {
            refused(reply);
        } else if (number_ >= count_) {
            run_.view.setProgress(toProgress(total_));
            sendQuit();
        } else {
            startMessage(number_ + 1);
        }
        break;
    case Pop3State::Quit:
        // Whatever the answer, the session is over; a refusal may have kept marked
        // messages, so it is reported, but the stored files stay (nothing is lost).
        if (!positive && !failed_)
            platform::logError(QStringLiteral("Rebent: ") + platform::fromAnsi(reply));
        endSession();
        break;
    }
}

void Pop3Session::refused(const QByteArray &reply)
{
    // A refused DELE leaves the message on the server: its stored copy must go, or the next
    // run would forward it a second time.
    if (rowOf(state_).failure == Failure::UnstoreAndQuit && !committed_.isEmpty())
        removeStoredPair(committed_.takeLast());
    fail(QStringLiteral("Rebent: ") + platform::fromAnsi(reply));
}

void Pop3Session::startMessage(qint64 number)
{
    file_.emplace(ObrirParella(run_, bustia_.EnviarA));
    if (!file_->isOpen()) {
        QString error = file_->errorString();
        file_.reset();
        if (error.isEmpty())
            error = QStringLiteral("Rebent: no s'ha pogut crear el missatge a la cua");
        fail(error);
        return;
    }
    if (number == 1) {
        run_.view.setProgressMaximum(toProgress(total_));
        run_.view.setProgress(0);
    }
    number_ = number;
    enter(Pop3State::Retr);
}

void Pop3Session::handleMessageData(QByteArrayView block)
{
    const qint64 before = receiver_.dataReceived();
    out_.resize(0);
    const Pop3MessageReceiver::Result result = receiver_.feed(block, out_);
    if (result == Pop3MessageReceiver::Result::NegativeStatus
        || result == Pop3MessageReceiver::Result::StatusTooLong) {
        // RETR refused (or not a POP3 reply at all): nothing of it is stored.
        multiLinePending_ = result == Pop3MessageReceiver::Result::StatusTooLong;
        wireLog(platform::WireSide::Server, receiver_.statusLine());
        run_.AfegirEstat(platform::fromAnsi(receiver_.statusLine()));
        refused(receiver_.statusLine());
        return;
    }
    const qint64 limit = messageSizeLimit(total_);
    if (receiver_.dataReceived() > limit) {
        fail(QStringLiteral("Rebent: el missatge %1 de %2 supera els %3 octets (la bústia "
                            "n'anunciava %4 en total); es queda al servidor")
                 .arg(QString::number(number_), host(), QString::number(limit),
                      QString::number(total_)));
        return;
    }
    if (!out_.isEmpty() && !file_->write(out_)) {
        fail(file_->errorString());
        return;
    }
    received_ = qMin(received_ + (receiver_.dataReceived() - before), total_);
    run_.view.setProgress(toProgress(received_));
    if (result == Pop3MessageReceiver::Result::Complete)
        judge(receiver_.statusLine());
}

void Pop3Session::drain(QByteArrayView block)
{
    // The rest of a RETR reply abandoned after QUIT was sent; the QUIT reply follows it.
    out_.resize(0);
    if (receiver_.feed(block, out_) != Pop3MessageReceiver::Result::NeedMore)
        draining_ = false;
}

void Pop3Session::messageComplete()
{
    multiLinePending_ = false;
    wireLog(platform::WireSide::Server, receiver_.statusLine());
    wireLogMessage(number_, file_->size(), false);
    const QueuePair pair = file_->pair();
    if (!file_->commit()) {
        // commit() has discarded the pair; the message stays on the server.
        const QString error = file_->errorString();
        file_.reset();
        fail(error);
        return;
    }
    file_.reset();
    committed_ << pair;
    enter(Pop3State::Dele);
}

void Pop3Session::sendQuit()
{
    // QUIT makes the server delete what was marked: everything stored must be on disk first.
    if (!committed_.isEmpty()) {
        const StoreResult synced
            = syncQueuedFiles(committed_, run_.configuration.Configuracio.CarpetaCua);
        if (!synced) {
            if (!failed_)
                platform::logError(synced.error);
            failed_ = true;
            endSession();
            return;
        }
    }
    // A server that closed before our QUIT reached it deletes nothing: the session then
    // ends as one without QUIT.
    if (!enter(Pop3State::Quit)) {
        endSession();
        return;
    }
    quitSent_ = true;
}

bool Pop3Session::sendCommand(const QByteArray &command, const QString &statusText)
{
    // The status text, never the command: PASS is masked there.
    qCDebug(lcPop3) << "sent" << statusText << "now awaiting" << rowOf(state_).name;
    if (platform::lcWirePop3().isDebugEnabled())
        wireLog(platform::WireSide::Client, platform::toAnsi(statusText));
    const bool sent = socket_.SendData(command + "\r\n");
    run_.AfegirEstat(statusText);
    lastCommand_ = statusText;
    return sent;
}

void Pop3Session::timeLimitReached()
{
    if (quitSent_) {
        // Nothing came after QUIT: the stored files stay, as the server may have deleted.
        if (!failed_)
            platform::logError(QStringLiteral("Rebent: el servidor ") + host()
                               + QStringLiteral(" no ha respost a QUIT"));
        endSession();
        return;
    }
    const QString cutOff
        = file_ ? QStringLiteral("; el missatge %1 es queda al servidor").arg(number_) : QString();
    if (sessionDeadline_.hasExpired()) {
        const qint64 ms = sessionDeadline_.deadline() - started_.deadline();
        fail(QStringLiteral("Rebent: la sessió amb %1 ha superat el temps màxim de %2 s")
                 .arg(host(), seconds(ms))
             + cutOff);
        return;
    }
    const QString awaited = lastCommand_.isEmpty() ? QStringLiteral("la connexió") : lastCommand_;
    // A silent server is not asked to QUIT: it would not answer, and one that woke up
    // later must not delete what this session no longer keeps.
    fail(QStringLiteral("Rebent: el servidor %1 no ha respost en %2 s a %3")
                 .arg(host(), seconds(ticksMs(rowOf(state_).silenceTicks)), awaited)
             + cutOff,
         false);
}

void Pop3Session::fail(const QString &logText, bool mayQuit)
{
    qCDebug(lcPop3) << "failed in state" << rowOf(state_).name;
    if (!failed_)
        platform::logError(logText);
    failed_ = true;
    // Only a logged-in session whose QUIT is not out yet still says QUIT.
    const Failure failure = rowOf(state_).failure;
    const bool quits = failure == Failure::Quit || failure == Failure::UnstoreAndQuit;
    if (!mayQuit || !quits || socket_.State() != platform::SocketControl::sckConnected) {
        endSession();
        return;
    }
    // Logged in: QUIT commits the DELEs of the messages stored before. A message cut off
    // is dropped first; it was never marked.
    if (file_) {
        wireLogMessage(number_, file_->size(), true);
        file_->discard();
        file_.reset();
    }
    draining_ = multiLinePending_;
    reply_.clear();
    sessionDeadline_ = QDeadlineTimer(ticksMs(kQuitGraceTicks));
    sendQuit();
}

void Pop3Session::onError(qint16 number, const QString &description)
{
    if (busy_)
        socketFailure(number, description);
}

void Pop3Session::onClose()
{
    // After the QUIT reply the session is already over and the socket closed.
    if (busy_)
        socketFailure(10053, QStringLiteral("The remote host closed the connection"));
}

void Pop3Session::socketFailure(qint16 number, const QString &description)
{
    // Once QUIT has been sent, a server that closes (or resets) without its reply has
    // ended the session as asked.
    if (!quitSent_ && !failed_) {
        platform::logError(QStringLiteral("Rebent Winsock: ") + QString::number(number)
                           + QStringLiteral(": ") + description);
    }
    endSession();
}

void Pop3Session::removeStoredPair(const QueuePair &pair) const
{
    // The message goes first: a forward-to file alone is dropped by the pair check.
    const QString queue = queuefiles::asFolder(run_.configuration.Configuracio.CarpetaCua);
    QFile::remove(queue + pair.messageName());
    QFile::remove(queue + pair.forwardToName());
}

void Pop3Session::endSession()
{
    busy_ = false;
    draining_ = false;
    socket_.Close();
    reply_.clear();
    // A message cut off is not kept: it was not marked for deletion, the next run fetches
    // it whole.
    if (file_) {
        wireLogMessage(number_, file_->size(), true);
        file_->discard();
        file_.reset();
    }
    // Without QUIT the server keeps every message of this session: the stored copies go,
    // so that the next run's fetch is the only one forwarded.
    if (!quitSent_) {
        for (const QueuePair &pair : std::as_const(committed_))
            removeStoredPair(pair);
    }
    committed_.clear();
}

} // namespace vessamo::routing
