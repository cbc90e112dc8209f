#include "support/transcript.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <iostream>
#include <vector>

namespace vessamo::test {

namespace {

// Enough for every dialogue of the tests; a message of megabytes must not flood the output.
constexpr qsizetype kMaxLines = 300;
constexpr qsizetype kMaxLineLength = 160;

std::vector<const Transcript *> &live()
{
    static std::vector<const Transcript *> transcripts;
    return transcripts;
}

class Printer : public ::testing::EmptyTestEventListener
{
    void OnTestStart(const ::testing::TestInfo &) override { printed_ = false; }
    void OnTestPartResult(const ::testing::TestPartResult &result) override
    {
        if (!result.failed() || printed_)
            return;
        printed_ = true;
        for (const Transcript *t : live())
            std::cout << t->text().toStdString() << std::flush;
    }
    bool printed_ = false;
};

} // namespace

QList<ScriptedReply> parseScript(const char *script)
{
    QList<ScriptedReply> replies;
    const QList<QByteArray> lines = QByteArray(script).split('\n');
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty())
            continue;
        if (line.startsWith("C: ")) {
            replies.append(ScriptedReply {line.mid(3).trimmed(), {}, ScriptedReply::End::Stay});
            continue;
        }
        if (!line.startsWith("S:")) {
            ADD_FAILURE() << "a script line must begin with \"C: \" or \"S: \": " << line.data();
            continue;
        }
        if (replies.isEmpty())
            replies.append(ScriptedReply {"GREETING", {}, ScriptedReply::End::Stay});
        ScriptedReply &reply = replies.last();
        if (reply.end != ScriptedReply::End::Stay) {
            ADD_FAILURE() << "nothing can follow the end of a reply: " << line.data();
            continue;
        }
        const QByteArray text = line.mid(2).trimmed();
        if (text == "<silence>")
            reply.end = ScriptedReply::End::Silence;
        else if (text == "<close>")
            reply.end = ScriptedReply::End::Close;
        else if (text == "<drop>")
            reply.end = ScriptedReply::End::Drop;
        else
            reply.lines.append(line.mid(line.startsWith("S: ") ? 3 : 2) + "\r\n");
    }
    return replies;
}

Transcript::Transcript(const char *server)
    : name_(server)
{
    live().push_back(this);
}

Transcript::~Transcript()
{
    std::erase(live(), this);
}

void Transcript::client(const QByteArray &line)
{
    add("C: ", line);
}

void Transcript::server(const QByteArray &bytes)
{
    partial_ += bytes;
    qsizetype from = 0;
    for (qsizetype eol; (eol = partial_.indexOf("\r\n", from)) >= 0; from = eol + 2)
        add("S: ", partial_.mid(from, eol - from));
    partial_.remove(0, from);
}

void Transcript::note(const QByteArray &text)
{
    if (!partial_.isEmpty()) {
        add("S: ", partial_ + " (no line end)");
        partial_.clear();
    }
    add("-- ", text);
}

void Transcript::add(const char *side, const QByteArray &line)
{
    if (lines_.size() >= kMaxLines) {
        ++omitted_;
        return;
    }
    QString text = QString::fromLatin1(line.left(kMaxLineLength));
    if (line.size() > kMaxLineLength)
        text += QStringLiteral("...");
    lines_.append(QString::fromLatin1(side) + text);
}

QString Transcript::text() const
{
    QString out
        = QStringLiteral("Dialogue of the fake %1 server:\n").arg(QString::fromLatin1(name_));
    for (const QString &line : lines_)
        out += QStringLiteral("  ") + line + u'\n';
    if (omitted_ > 0)
        out += QStringLiteral("  ... and %1 more lines\n").arg(omitted_);
    return out;
}

void printTranscriptsOnFailure()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    // The listener list takes ownership.
    ::testing::UnitTest::GetInstance()->listeners().Append(new Printer);
}

} // namespace vessamo::test
