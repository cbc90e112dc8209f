// An SMTP server for tests (a LineServer, support/transcript.h). It answers like a plain
// server by default; a test replaces the reply to any step for its next occurrences, in
// order: split into fragments sent with pauses, silence, a dropped connection, or a close
// right after the reply (both reach the client together).
//
// Steps are named by the command verb in upper case ("EHLO", "HELO", "MAIL", "RCPT",
// "DATA", "QUIT", "AUTH", "RSET"), plus "GREETING", "AUTHUSER" and "AUTHPASS" (the two
// AUTH LOGIN answers, or any login's first and second answer to a 334 challenge) and "."
// (the end of data).
#pragma once

#include "support/transcript.h"

namespace vessamo::test {

class FakeSmtpServer : public LineServer
{
public:
    FakeSmtpServer()
        : LineServer("SMTP", false)
    {
    }

    // The default reply to EHLO (multi-line, with its CR LFs).
    void setEhloReply(const QByteArray &reply) { replies_["EHLO"] = reply; }
    // The bytes of each DATA section, between the 354 reply and the end-of-data line,
    // exactly as received (still dot-stuffed). commands() leaves them out.
    const QList<QByteArray> &messages() const { return messages_; }

private:
    void opened() override;
    void line(const QByteArray &line) override;

    enum class Mode { Command, AuthUser, AuthPass, Data } mode_ = Mode::Command;
    QByteArray data_;
    QList<QByteArray> messages_;
    QHash<QByteArray, QByteArray> replies_ {
        {"GREETING", "220 fake.example ESMTP ready\r\n"},
        {"EHLO", "250-fake.example Hello\r\n250-SIZE 100000000\r\n250 AUTH LOGIN PLAIN\r\n"},
        {"HELO", "250 fake.example\r\n"},
        {"AUTH", "334 VXNlcm5hbWU6\r\n"},
        {"AUTHUSER", "334 UGFzc3dvcmQ6\r\n"},
        {"AUTHPASS", "235 2.7.0 Authentication successful\r\n"},
        {"MAIL", "250 2.1.0 Ok\r\n"},
        {"RCPT", "250 2.1.0 Ok\r\n"},
        {"RSET", "250 2.1.0 Ok\r\n"},
        {"NOOP", "250 2.1.0 Ok\r\n"},
        {"DATA", "354 End data with <CR><LF>.<CR><LF>\r\n"},
        {".", "250 2.0.0 queued\r\n"},
        {"QUIT", "221 2.0.0 Bye\r\n"},
    };
};

} // namespace vessamo::test
