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
    const QByteArray fallback = replies_.value(step, "502 5.5.2 Error: command not recognized\r\n");
    const Reply reply = scripted(step, line).value_or(Reply::text(fallback));
    // Data follows only when the reply lets it (a scripted refusal does not).
    const bool dataFollows = reply.kind == Reply::Send && reply.fragments.value(0).startsWith('3');
    mode_ = step == "AUTH"              ? Mode::AuthUser
        : step == "AUTHUSER"            ? Mode::AuthPass
        : step == "DATA" && dataFollows ? Mode::Data
                                        : Mode::Command;
    send(reply);
    if (step == "QUIT" && socket_)
        socket_->disconnectFromHost();
}

} // namespace vessamo::test
