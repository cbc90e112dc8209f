// One format for the fake servers' dialogue, as the wire log writes it: "C: " for what the
// client sent, "S: " for what the server answered. A test scripts a fake server's replies
// in it, and when a check fails, the dialogue of every fake server still alive is printed
// under the failure.
//
// A script names, on each "C: " line, the command a reply answers: its verb ("EHLO",
// "RETR"), or for POP3 a whole command line ("DELE 2"), or a step of the fake without a
// command line of its own (SMTP: "AUTHUSER", "AUTHPASS", "." for the end of data). The
// "S: " lines below it are the reply, one line each; "S: " lines before any "C: " replace
// the greeting. Three words stand for what is not text:
//   S: <silence>   no reply; the connection stays open
//   S: <close>     the server closes after the lines above it
//   S: <drop>      the server drops the connection at once
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace vessamo::test {

struct ScriptedReply
{
    enum class End { Stay, Close, Drop, Silence };
    QByteArray command; // "GREETING" for the greeting
    QList<QByteArray> lines; // each with its CR LF
    End end = End::Stay;
};

// Reads a script; an unreadable line fails the test that wrote it.
QList<ScriptedReply> parseScript(const char *script);

// A fake server's record of its dialogue. Lives as long as its server, and is printed when
// a check fails meanwhile.
class Transcript
{
public:
    explicit Transcript(const char *server);
    ~Transcript();
    Transcript(const Transcript &) = delete;
    Transcript &operator=(const Transcript &) = delete;

    void client(const QByteArray &line);
    // Bytes as sent, in any pieces; recorded line by line.
    void server(const QByteArray &bytes);
    // An event without bytes ("connection 2 opened", "the server closed the connection").
    void note(const QByteArray &text);
    // "C: ..." and "S: ..." lines, at most a few hundred (long messages are cut short).
    QString text() const;

private:
    void add(const char *side, const QByteArray &line);

    const char *name_;
    QStringList lines_;
    QByteArray partial_;
    int omitted_ = 0;
};

// Installs, once, the listener that prints the live transcripts under a failure.
void printTranscriptsOnFailure();

} // namespace vessamo::test
