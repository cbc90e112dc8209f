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

#include <QSslCertificate>
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

// TLS session tickets, kept for this process by host name, port and trust: a later
// connection to the same server resumes its session (the router opens one SMTP session per
// message, and a resumed handshake skips the certificate exchange). A ticket only ever goes
// back to the host name and port it came from, and only while the trust it was verified
// under (the CA list, the system's store) is unchanged. A configuration without a kept
// ticket keeps whatever ticket it carries.
QSslConfiguration withSessionTicket(QSslConfiguration tls, const QString &host, quint16 port);
// `tls` is the configuration the handshake ran with, `peer` the certificate it verified.
void keepSessionTicket(const QSslConfiguration &tls, const QString &host, quint16 port,
                       const QByteArray &ticket, const QSslCertificate &peer);
void forgetSessionTicket(const QString &host, quint16 port);

// The checks after every handshake, before a byte of the dialogue; empty when the peer may
// be used, else why not. Qt's own verification runs first; these add what it leaves out:
// - with DNS or IP subject alternative names, the host must be one of them: the common
//   name is not consulted then (RFC 6125 6.4.4);
// - a resumed session carries no certificate chain and Qt verifies nothing: it stands only
//   for the certificate verified when its ticket was kept, under the same trust as now,
//   and while that certificate is still valid.
QString peerProblem(const QSslConfiguration &tls, const QString &host, quint16 port,
                    const QSslCertificate &peer, bool resumed);
// The host against the certificate's subject alternative names, when it has any.
bool matchesAlternativeNames(const QSslCertificate &certificate, const QString &host);

} // namespace vessamo::platform
