// TLS for the mail connections: the one rule that decides it by port, and the client
// configuration every TLS connection uses.
//
//   POP3 port 995  TLS from the first byte (implicit TLS)
//   SMTP port 465  TLS from the first byte (implicit TLS)
//   SMTP port 587  STARTTLS required: EHLO, STARTTLS, the handshake, EHLO again
//   any other port clear text, as before
//
// The server's certificate must chain to the system's trust store, or to a certificate in
// the administrator's extra CA file, and match the host name connected to. TLS 1.2 is the
// least accepted; Qt's default ciphers. There is no way to skip the verification.
#pragma once

#include <QSslConfiguration>
#include <QString>

namespace vessamo::platform {

enum class MailProtocol { Pop3, Smtp };
enum class TlsMode { None, Implicit, StartTls };

TlsMode tlsModeFor(MailProtocol protocol, quint16 port);

// Certificates the administrator trusts besides the system's: the PEM file named by
// $VESSAMO_CA_FILE, else /etc/vessamo/ca.pem, else "ca.pem" beside the configuration file.
QString extraCaFilePath(const QString &configurationFile);

// The extra CA file of this process: set once at start from the configuration file's
// place (the shell does), else $VESSAMO_CA_FILE or /etc/vessamo/ca.pem.
void setExtraCaFile(const QString &path);
QString extraCaFile();

// The configuration of every client connection: the system's CAs plus the extra file's
// (read again when the file changes; a missing file adds none), peer verification, TLS 1.2
// or later.
QSslConfiguration clientTlsConfiguration(const QString &extraCaFile);
QSslConfiguration clientTlsConfiguration();

// TLS session tickets, kept for this process by host name and port: a later connection to
// the same server resumes its session (the router opens one SMTP session per message, and a
// resumed handshake skips the certificate exchange). A ticket only ever goes back to the
// host name and port it came from, which the connection verifies as always.
QSslConfiguration withSessionTicket(QSslConfiguration tls, const QString &host, quint16 port);
void keepSessionTicket(const QString &host, quint16 port, const QByteArray &ticket);

} // namespace vessamo::platform
