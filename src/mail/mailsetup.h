// Setting up a mail object for its two uses: the relay of a stored message (the routing run's
// forwarder) and the send of a composed one (vessamo-send). The object checks each value as
// it is assigned, with the settings in force at that moment, so its setters depend on their
// order; these functions assign them in the one order that is safe, and nothing else does.
#pragma once

#include "mail/clsenviarcorreu.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QStringList>

namespace vessamo::mail {

// The SMTP server and its login.
struct ServerSettings
{
    QString host;
    qint32 port = 25; // the object refuses one outside 1 to 65535
    bool authenticate = false;
    QString user; // user and password are given only when authenticating
    QString password;
};

// One stored message relayed to one forward-to text.
struct RelaySettings
{
    ServerSettings server;
    QString forwardTo; // split at ";" like any list of the object
    QString senderAddress;
    QString senderName;
    QByteArray message; // the whole stored message, header section included
    // Or the stored message's file, read block by block instead of `message`: not owned,
    // open for reading, and it must outlive the relay.
    QIODevice *messageSource = nullptr;
};

// One message composed from its parts and sent to every recipient.
struct SendSettings
{
    ServerSettings server;
    QString from;
    QString fromName;
    QStringList to;
    QStringList toNames;
    QStringList cc;
    QStringList ccNames;
    QStringList bcc;
    QString replyTo;
    QString subject;
    bool html = false;
    qint32 encodeType = 0; // 0 MIME, 1 UU
    qint32 priority = 3;
    bool receipt = false;
    QIODevice *body = nullptr; // not owned; seekable, and it must outlive the Send
    QString charset = QStringLiteral("iso-8859-1");
    QStringList attachments;
};

// Every value of the object a relay uses, in the safe order; Enruta then relays.
void setUpForRelay(clsEnviarCorreu &object, const RelaySettings &settings);
// Every value of the object a send uses, in the safe order; Send then composes and sends.
// An element of a list may hold anything but the unit separator (U+001F).
void setUpForSend(clsEnviarCorreu &object, const SendSettings &settings);

} // namespace vessamo::mail
