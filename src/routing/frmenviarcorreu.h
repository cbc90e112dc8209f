// One routing run, the system's main job: fetch the mail of every configured POP3
// mailbox into the queue, pass each queued pair through the spam filter, forward it
// through the SMTP server, file it in an archive, and purge old archives. The run shows
// itself through a RoutingView (a window, or standard output when headless).
//
// Life cycle: a form is created for one run, on the configuration the shell loaded, and owns
// the run's two sockets, the POP3 session and the mail object of the current forwarding
// attempt. run() returns when the
// run is over; the safety timer may end it earlier by setting the abort flag, and the
// code that is running then finishes its step before it sees the flag. Nothing the run
// uses is destroyed before run() returns.
#pragma once

#include "platform/socketcontrol.h"
#include "routing/queue.h"
#include "routing/runcontext.h"
#include "routing/runsummary.h"
#include "routing/tokensource.h"

#include <QIODevice>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vessamo::mail {
class clsEnviarCorreu;
enum class RelayOutcome;
} // namespace vessamo::mail

namespace vessamo::routing {

class FolderSyncs;
class Pop3Session;

// What became of one queued message handed to the forwarder.
enum class ForwardOutcome {
    Sent, // a server accepted it
    Deferred, // a temporary failure: the pair stays in the queue for a later run
    Refused, // a permanent failure (or no sender, nothing to send to): the failed archive
};

class frmEnviarCorreu : public QObject
{
    Q_OBJECT
public:
    // `configuration` must outlive the form.
    frmEnviarCorreu(RoutingView &view, const config::Configuration &configuration,
                    QObject *parent = nullptr);
    frmEnviarCorreu(RoutingView &, config::Configuration &&, QObject * = nullptr) = delete;
    ~frmEnviarCorreu() override;

    // Carries out one whole run (`EnrutarCorreu`) and unloads the form.
    void run();

    // Up to five attempts, a new mail object each, while they fail for a reason that may
    // pass; a permanent refusal, a failure after the end of data and a stop end them.
    ForwardOutcome ReenviarMissatge(const QString &destinatariPath, const QString &missatgePath);

    // Whether the machine can reach its servers; replaced by tests.
    std::function<bool(const QStringList &servers)> connectionCheck;
    // One tick of the safety timer; 121 ticks without progress end the run.
    void setSafetyTickMs(int ms) { timerSeguretat.setInterval(ms); }

    RunContext &context() { return ctx_; }
    bool unloaded() const { return unloaded_; }
    // What the run did; complete once run() has returned.
    const RunSummary &summary() const { return summary_; }

private:
    const config::ConfiguracioRecord &record() const { return ctx_.configuration.Configuracio; }
    void EnrutarCorreu();
    void queuePass();
    void purge();
    void timerSeguretat_Timer();
    void unload();
    // False when the pair stayed where it was (the failure logged).
    bool moveOrLog(const QueuePair &pair, const QString &target, FolderSyncs &syncs);
    // Files a forwarded pair by the outcome: marked and moved when sent, failed archive
    // when refused or past the queue lifetime, left queued otherwise. False when a sent
    // message could be neither marked nor archived: the pass must stop.
    bool fileForwarded(const QueuePair &pair, ForwardOutcome outcome, FolderSyncs &syncs,
                       std::optional<StoreResult> marked);
    // Runs one attempt on a fresh mail object; what it tells about the message.
    mail::RelayOutcome attempt(const QString &forwardTo, const QString &senderAddress,
                               const QString &senderName, QIODevice &message);
    // Sets up a fresh mail object to relay `message` as forwarding does: the configured server,
    // its login, the run's stop request, the status list and the progress bar.
    void setUp(mail::clsEnviarCorreu &object, const QString &forwardTo,
               const QString &senderAddress, const QString &senderName, QIODevice &message);
    // Tells the postmaster of the pairs this run filed as failed (frmenviarcorreu_notice.cpp).
    void sendNotices();
    // One notice, one attempt; the reason it failed, or nothing when it was sent.
    std::optional<QString> sendNotice(const QString &postmaster, const QByteArray &notice);
    // Whether the SMTP login's token source failed in this run: no attempt can log in
    // until the next run.
    bool smtpTokenFailed() const;

    RoutingView &view_;
    RunContext ctx_;
    // The access tokens of the run's logins; refers to ctx_'s stop request.
    TokenSources tokens_;
    // The sockets outlive every object that borrows them.
    platform::SocketControl wsckRebre;
    platform::SocketControl Winsck;
    std::unique_ptr<Pop3Session> pop3_;
    std::unique_ptr<mail::clsEnviarCorreu> poSendMail;
    QTimer timerSeguretat;
    bool unloaded_ = false;
    RunSummary summary_;
    // Set by the success handler of the current attempt.
    bool success_ = false;
    // What the event log got for the last failed attempt of the pair being forwarded.
    QString lastFailure_;
    // How many attempts for that pair failed.
    int failedAttempts_ = 0;
    // Why that pair was refused without any attempt.
    QString refusalReason_;
    // The pairs this run filed as failed, to tell the postmaster of: the stem, and why it
    // was filed when the attempts record cannot say.
    struct DueNotice
    {
        QString stem;
        QString reason;
    };
    std::vector<DueNotice> noticesDue_;
    // Called when a server accepts the message being forwarded, before its goodbye.
    std::function<void()> onAccepted_;
};

} // namespace vessamo::routing
