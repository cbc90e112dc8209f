// pop3floor: the smallest useful POP3 client, the floor that an end-to-end router is
// measured against. Logs in, and for every message: RETR, undo the dot-stuffing, write
// the message to OUTDIR/NNNNNNNN.eml, DELE; then QUIT (the server deletes at QUIT).
// Plain POSIX sockets, TCP_NODELAY, one buffered reader, no other work.
//
//   pop3floor HOST PORT USER PASSWORD OUTDIR
//
// Exit status 0 when every message was written and QUIT was answered with +OK.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "pop3floor: %s\n", what.c_str());
    std::exit(1);
}

class Connection
{
public:
    explicit Connection(int fd)
        : fd_(fd)
    {
    }
    ~Connection() { ::close(fd_); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    void send(const std::string &line)
    {
        std::string bytes = line + "\r\n";
        const char *p = bytes.data();
        size_t left = bytes.size();
        while (left > 0) {
            ssize_t n = ::send(fd_, p, left, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                fail("send: " + std::string(std::strerror(errno)));
            p += n;
            left -= static_cast<size_t>(n);
        }
    }

    // One line without its CR LF. Only CR LF ends a line: a bare LF stays in the line, as
    // it is part of the message. Lines have no length limit.
    void readLine(std::string &line)
    {
        line.clear();
        for (;;) {
            const char *start = buf_ + pos_;
            const void *lf = std::memchr(start, '\n', end_ - pos_);
            if (!lf) {
                line.append(start, end_ - pos_);
                fill();
                continue;
            }
            size_t len = static_cast<const char *>(lf) - start + 1;
            line.append(start, len);
            pos_ += len;
            if (line.size() >= 2 && line[line.size() - 2] == '\r') {
                line.resize(line.size() - 2);
                return;
            }
        }
    }

    std::string reply()
    {
        std::string line;
        readLine(line);
        if (line.compare(0, 3, "+OK") != 0)
            fail("server said: " + line);
        return line;
    }

private:
    void fill()
    {
        pos_ = end_ = 0;
        for (;;) {
            ssize_t n = ::recv(fd_, buf_, sizeof buf_, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail("recv: " + std::string(std::strerror(errno)));
            if (n == 0)
                fail("connection closed by the server");
            end_ = static_cast<size_t>(n);
            return;
        }
    }

    int fd_;
    char buf_[1 << 16];
    size_t pos_ = 0;
    size_t end_ = 0;
};

int connectTo(const char *host, const char *port)
{
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
    if (::inet_pton(AF_INET, host, &addr.sin_addr) != 1)
        fail(std::string("not an IPv4 address: ") + host);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket: " + std::string(std::strerror(errno)));
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout {60, 0}; // a silent server ends the run instead of hanging it
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        fail("connect: " + std::string(std::strerror(errno)));
    return fd;
}

void writeFile(const std::string &path, const std::string &data)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        fail("open " + path + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("write " + path + ": " + std::strerror(errno));
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0)
        fail("close " + path + ": " + std::strerror(errno));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: pop3floor HOST PORT USER PASSWORD OUTDIR\n");
        return 2;
    }
    Connection pop(connectTo(argv[1], argv[2]));
    pop.reply();
    pop.send(std::string("USER ") + argv[3]);
    pop.reply();
    pop.send(std::string("PASS ") + argv[4]);
    pop.reply();
    pop.send("STAT");
    const std::string stat = pop.reply();
    long count = 0;
    long long octets = 0;
    if (std::sscanf(stat.c_str(), "+OK %ld %lld", &count, &octets) != 2 || count < 0)
        fail("bad STAT reply: " + stat);

    std::string line, message;
    long long written = 0;
    for (long i = 1; i <= count; ++i) {
        pop.send("RETR " + std::to_string(i));
        pop.reply();
        message.clear();
        for (;;) {
            pop.readLine(line);
            if (line == ".")
                break;
            // Byte-stuffing: a line that starts with "." lost its first dot on the way.
            if (!line.empty() && line[0] == '.')
                message.append(line, 1, std::string::npos);
            else
                message.append(line);
            message.append("\r\n");
        }
        char name[32];
        std::snprintf(name, sizeof name, "/%08ld.eml", i);
        writeFile(argv[5] + std::string(name), message);
        written += static_cast<long long>(message.size());
        pop.send("DELE " + std::to_string(i));
        pop.reply();
    }
    pop.send("QUIT");
    pop.reply();
    std::printf("pop3floor: %ld messages, %lld bytes written\n", count, written);
    return 0;
}
