// A scripted DNS server on 127.0.0.1 for the MX lookup tests, and a builder for the
// replies it sends. The server binds port 0; each query it receives takes the next step
// of its script, which says what goes back (nothing, one reply, several) and whether a
// stranger's socket answers first. Queries are kept for the test to check.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUdpSocket>
#include <functional>

namespace vessamo::test {

// Builds DNS replies the way a server writes them: header, the question echoed, then
// the answer records with uncompressed names unless raw bytes are given.
class ReplyBuilder
{
public:
    explicit ReplyBuilder(const QString &question);
    ReplyBuilder &identifier(quint16 value);
    // The answer count in the header, when it must differ from the records added.
    ReplyBuilder &answerCount(quint16 value);
    ReplyBuilder &mx(quint16 preference, const QString &exchange);
    ReplyBuilder &cname(const QString &target);
    // A record with the question as owner and `data` as its data, as given.
    ReplyBuilder &record(quint16 type, const QByteArray &data);
    QByteArray build() const;

    static QByteArray name(const QString &domain); // uncompressed, with the final zero

private:
    QString question_;
    quint16 identifier_ = 4575;
    int answerCount_ = -1;
    QList<QByteArray> records_;
};

class FakeDns : public QObject
{
    Q_OBJECT
public:
    struct Step
    {
        QList<QByteArray> replies; // sent from the server's own socket
        QList<QByteArray> strangers; // sent first, from another socket on 127.0.0.1
    };
    using Script = std::function<Step(const QByteArray &query)>;

    FakeDns();
    quint16 port() const { return socket_.localPort(); }
    // Answers the next query; queries past the script get no answer.
    void then(Script step);
    void thenReply(const QByteArray &reply);
    void thenSilence();

    const QList<QByteArray> &queries() const { return queries_; }
    // The question name of each query received, as text.
    QStringList queriedDomains() const;

private:
    void readQueries();

    QUdpSocket socket_;
    QUdpSocket stranger_;
    QList<Script> script_;
    QList<QByteArray> queries_;
};

} // namespace vessamo::test
