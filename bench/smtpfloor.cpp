// smtpfloor: the smallest useful forwarder, the floor of the sending half of a router
// that opens one SMTP session per message (as Vessamo's forwarding does: every attempt
// is a session of its own). For every file of INDIR, in name order: read it, connect,
// HELO, MAIL, RCPT, DATA, the file dot-stuffed, ".", QUIT, close.
// With --one-session, one session carries every message (MAIL, RCPT, DATA for each, one
// QUIT at the end): what keeping the connection open between messages would save.
// Plain POSIX sockets, TCP_NODELAY, one buffered reader, no other work.
//
//   smtpfloor [--one-session] HOST PORT SENDER RECIPIENT INDIR
//
// Exit status 0 when every message was accepted.
#include "floorio.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <vector>

namespace {

using namespace floorio;

// A whole SMTP reply (continuation lines included); a code not starting with EXPECTED
// ends the run.
void reply(Connection &c, char expected)
{
    std::string line;
    do {
        c.readLine(line);
        if (line.size() < 3 || line[0] != expected)
            fail("server said: " + line);
    } while (line.size() > 3 && line[3] == '-');
}

std::string readFile(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("open " + path + ": " + std::strerror(errno));
    std::string data;
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("read " + path + ": " + std::strerror(errno));
        if (n == 0)
            break;
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
}

// The DATA bytes: a "." at the start of a line doubled, then the end-of-data line.
std::string stuffed(const std::string &message)
{
    std::string out;
    out.reserve(message.size() + message.size() / 64 + 5);
    bool lineStart = true;
    for (char ch : message) {
        if (lineStart && ch == '.')
            out.push_back('.');
        out.push_back(ch);
        lineStart = ch == '\n';
    }
    out.append(lineStart ? ".\r\n" : "\r\n.\r\n");
    return out;
}

std::vector<std::string> filesOf(const std::string &folder)
{
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        fail("opendir " + folder + ": " + std::strerror(errno));
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

int main(int argc, char **argv)
{
    const bool oneSession = argc > 1 && std::strcmp(argv[1], "--one-session") == 0;
    if (oneSession) {
        --argc;
        ++argv;
    }
    if (argc != 6) {
        std::fprintf(stderr, "usage: smtpfloor [--one-session] HOST PORT SENDER RECIPIENT INDIR\n");
        return 2;
    }
    const std::string folder = argv[5];
    long long sent = 0;
    const std::vector<std::string> names = filesOf(folder);
    std::unique_ptr<Connection> smtp;
    for (const std::string &name : names) {
        const std::string data = stuffed(readFile(folder + "/" + name));
        if (!smtp) {
            smtp = std::make_unique<Connection>(connectTo(argv[1], argv[2]));
            reply(*smtp, '2');
            smtp->send("HELO localhost");
            reply(*smtp, '2');
        }
        smtp->send(std::string("MAIL FROM:<") + argv[3] + ">");
        reply(*smtp, '2');
        smtp->send(std::string("RCPT TO:<") + argv[4] + ">");
        reply(*smtp, '2');
        smtp->send("DATA");
        reply(*smtp, '3');
        smtp->sendRaw(data);
        reply(*smtp, '2');
        if (!oneSession) {
            smtp->send("QUIT");
            reply(*smtp, '2');
            smtp.reset();
        }
        sent += static_cast<long long>(data.size());
    }
    if (smtp) {
        smtp->send("QUIT");
        reply(*smtp, '2');
    }
    std::printf("smtpfloor: %zu messages, %lld bytes sent\n", names.size(), sent);
    return 0;
}
