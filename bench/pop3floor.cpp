// pop3floor: the smallest useful POP3 client, the floor that an end-to-end router is
// measured against. Logs in, and for every message: RETR, undo the dot-stuffing, write
// the message to OUTDIR/NNNNNNNN.eml, DELE; then QUIT (the server deletes at QUIT).
// Plain POSIX sockets, TCP_NODELAY, one buffered reader, no other work.
//
//   pop3floor HOST PORT USER PASSWORD OUTDIR
//
// Exit status 0 when every message was written and QUIT was answered with +OK.
#include "floorio.h"

#include <fcntl.h>

namespace {

using namespace floorio;

// A POP3 reply line; anything but "+OK" ends the run.
std::string reply(Connection &c)
{
    std::string line;
    c.readLine(line);
    if (line.compare(0, 3, "+OK") != 0)
        fail("server said: " + line);
    return line;
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
    reply(pop);
    pop.send(std::string("USER ") + argv[3]);
    reply(pop);
    pop.send(std::string("PASS ") + argv[4]);
    reply(pop);
    pop.send("STAT");
    const std::string stat = reply(pop);
    long count = 0;
    long long octets = 0;
    if (std::sscanf(stat.c_str(), "+OK %ld %lld", &count, &octets) != 2 || count < 0)
        fail("bad STAT reply: " + stat);

    std::string line, message;
    long long written = 0;
    for (long i = 1; i <= count; ++i) {
        pop.send("RETR " + std::to_string(i));
        reply(pop);
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
        reply(pop);
    }
    pop.send("QUIT");
    reply(pop);
    std::printf("pop3floor: %ld messages, %lld bytes written\n", count, written);
    return 0;
}
