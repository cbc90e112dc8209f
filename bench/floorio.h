// Shared by the floor clients of the benchmark (pop3floor, smtpfloor): one blocking
// connection with TCP_NODELAY and a buffered line reader, and a way to give up loudly.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <errno.h> // program_invocation_short_name
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace floorio {

[[noreturn]] inline void fail(const std::string &what)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
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

    void send(const std::string &line) { sendRaw(line + "\r\n"); }

    void sendRaw(const std::string &bytes)
    {
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

inline int connectTo(const char *host, const char *port)
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

} // namespace floorio
