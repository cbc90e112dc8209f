#include "support/fakesmtp.h"

namespace vessamo::test {

void FakeSmtpServer::opened()
{
    mode_ = Mode::Command;
    data_.clear();
    send(scripted("GREETING").value_or(Reply::text(replies_["GREETING"])));
}

void FakeSmtpServer::line(const QByteArray &line)
{
    QByteArray step = ".";
    if (mode_ == Mode::Data) {
        if (line != ".") {
            data_ += line + "\r\n";
            return;
        }
        messages_ << std::exchange(data_, {});
        show("C: ", "<message, " + QByteArray::number(messages_.last().size()) + " octets>");
        show("C: ", ".");
    } else {
        record(line);
        step = mode_ == Mode::AuthUser ? "AUTHUSER"
            : mode_ == Mode::AuthPass  ? "AUTHPASS"
                                       : line.split(' ').first().toUpper();
    }
    QByteArray fallback = replies_.value(step, "502 5.5.2 Error: command not recognized\r\n");
    // A server with STARTTLS set up offers it until TLS runs, and starts it when asked.
    if (step == "EHLO" && offersStartTls())
        fallback.insert(fallback.indexOf('\n') + 1, "250-STARTTLS\r\n");
    if (step == "STARTTLS" && offersStartTls())
        fallback = "220 2.0.0 Ready to start TLS\r\n";
    const Reply reply = scripted(step, line).value_or(Reply::text(fallback));
    // Data, or the next answer of a login, follows only when the reply lets it (a scripted
    // refusal or success does not).
    const bool more = reply.kind == Reply::Send && reply.fragments.value(0).startsWith('3');
    mode_ = !more            ? Mode::Command
        : step == "AUTH"     ? Mode::AuthUser
        : step == "AUTHUSER" ? Mode::AuthPass
        : step == "DATA"     ? Mode::Data
                             : Mode::Command;
    send(reply);
    if (step == "STARTTLS" && reply.kind == Reply::Send
        && reply.fragments.value(0).startsWith("220"))
        startTls();
    if (step == "QUIT" && socket_)
        socket_->disconnectFromHost();
}

} // namespace vessamo::test
