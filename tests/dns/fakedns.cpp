// The scripted DNS server and reply builder used by the MX lookup tests.
#include "dns/fakedns.h"

#include <QNetworkDatagram>

namespace vessamo::test {

namespace {

void appendU16(QByteArray &bytes, quint16 value)
{
    bytes.append(char(value >> 8));
    bytes.append(char(value & 0xff));
}

} // namespace

ReplyBuilder::ReplyBuilder(const QString &question)
    : question_(question)
{
}

ReplyBuilder &ReplyBuilder::identifier(quint16 value)
{
    identifier_ = value;
    return *this;
}

ReplyBuilder &ReplyBuilder::answerCount(quint16 value)
{
    answerCount_ = value;
    return *this;
}

ReplyBuilder &ReplyBuilder::mx(quint16 preference, const QString &exchange)
{
    QByteArray data;
    appendU16(data, preference);
    data.append(name(exchange));
    return record(15, data);
}

ReplyBuilder &ReplyBuilder::cname(const QString &target)
{
    return record(5, name(target));
}

ReplyBuilder &ReplyBuilder::record(quint16 type, const QByteArray &data)
{
    QByteArray bytes = name(question_);
    appendU16(bytes, type);
    appendU16(bytes, 1); // class IN
    bytes.append("\0\0\x0e\x10", 4); // time to live 3600
    appendU16(bytes, quint16(data.size()));
    bytes.append(data);
    records_.append(bytes);
    return *this;
}

QByteArray ReplyBuilder::build() const
{
    QByteArray bytes;
    appendU16(bytes, identifier_);
    bytes.append("\x81\x80", 2); // response, recursion desired and available, no error
    appendU16(bytes, 1);
    appendU16(bytes, quint16(answerCount_ >= 0 ? answerCount_ : records_.size()));
    appendU16(bytes, 0);
    appendU16(bytes, 0);
    bytes.append(name(question_));
    appendU16(bytes, 15);
    appendU16(bytes, 1);
    for (const QByteArray &record : records_)
        bytes.append(record);
    return bytes;
}

QByteArray ReplyBuilder::name(const QString &domain)
{
    QByteArray bytes;
    if (!domain.isEmpty()) {
        for (const QString &label : domain.split(u'.')) {
            bytes.append(char(label.size()));
            bytes.append(label.toLatin1());
        }
    }
    bytes.append('\0');
    return bytes;
}

FakeDns::FakeDns()
{
    socket_.bind(QHostAddress::LocalHost, 0);
    stranger_.bind(QHostAddress::LocalHost, 0);
    connect(&socket_, &QUdpSocket::readyRead, this, &FakeDns::readQueries);
}

void FakeDns::then(Script step)
{
    script_.append(std::move(step));
}

void FakeDns::thenReply(const QByteArray &reply)
{
    then([reply](const QByteArray &) { return Step {{reply}, {}}; });
}

void FakeDns::thenSilence()
{
    then([](const QByteArray &) { return Step {}; });
}

QStringList FakeDns::queriedDomains() const
{
    QStringList domains;
    for (const QByteArray &query : queries_) {
        QStringList labels;
        for (qsizetype at = 12; at < query.size() && query.at(at) != 0;
             at += 1 + quint8(query.at(at)))
            labels.append(QString::fromLatin1(query.mid(at + 1, quint8(query.at(at)))));
        domains.append(labels.join(u'.'));
    }
    return domains;
}

void FakeDns::readQueries()
{
    while (socket_.hasPendingDatagrams()) {
        const QNetworkDatagram query = socket_.receiveDatagram();
        if (!query.isValid())
            return;
        const qsizetype index = queries_.size();
        queries_.append(query.data());
        if (index >= script_.size())
            continue;
        const Step step = script_.at(index)(query.data());
        for (const QByteArray &reply : step.strangers)
            stranger_.writeDatagram(reply, query.senderAddress(), quint16(query.senderPort()));
        for (const QByteArray &reply : step.replies)
            socket_.writeDatagram(reply, query.senderAddress(), quint16(query.senderPort()));
    }
}

} // namespace vessamo::test
