// A queue store backend (routing/queuebackend.h) that writes each durable step as a line,
// paths relative to a root ("rename Cua/x SiEnviats/x", "flush Cua/", "write Cua/x.part"),
// and fails the steps whose line matches one of `faults` with its errno value.
#pragma once

#include "routing/queuebackend.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringList>
#include <functional>

namespace vessamo::test {

class RecordingBackend : public routing::QueueBackend
{
public:
    struct Fault
    {
        const char *step; // a regular expression over the step's line
        int error;
    };

    explicit RecordingBackend(const QString &root)
        : root_(root + u'/')
    {
    }

    QStringList steps;
    QList<Fault> faults;

    int create(const QString &path, bool exclusive, platform::UniqueFd &fd) override
    {
        const int err = step("create", relative(path),
                             [&] { return QueueBackend::create(path, exclusive, fd); });
        if (err == 0)
            names_[fd.get()] = relative(path);
        return err;
    }
    int write(int fd, const char *data, qint64 length) override
    {
        return step("write", names_.value(fd),
                    [&] { return QueueBackend::write(fd, data, length); });
    }
    int flush(int fd) override
    {
        return step("flush", names_.value(fd), [&] { return QueueBackend::flush(fd); });
    }
    int flush(const QString &path, bool dataOnly) override
    {
        return step("flush", relative(path), [&] { return QueueBackend::flush(path, dataOnly); });
    }
    int flushFileSystem(const QString &folder) override
    {
        return step("flushfs", relative(folder),
                    [&] { return QueueBackend::flushFileSystem(folder); });
    }
    int rename(const QString &from, const QString &to, bool replace) override
    {
        return step("rename", relative(from) + u' ' + relative(to),
                    [&] { return QueueBackend::rename(from, to, replace); });
    }
    int remove(const QString &path) override
    {
        return step("remove", relative(path), [&] { return QueueBackend::remove(path); });
    }

private:
    QString relative(const QString &path) const
    {
        return path.startsWith(root_) ? path.mid(root_.size()) : path;
    }
    int step(const char *what, const QString &paths, const std::function<int()> &real)
    {
        const QString line = QLatin1StringView(what) + u' ' + paths;
        steps << line;
        for (const Fault &fault : std::as_const(faults)) {
            if (QRegularExpression(QString::fromUtf8(fault.step)).match(line).hasMatch()) {
                steps.last() += QStringLiteral(" FAILED");
                return fault.error;
            }
        }
        return real();
    }

    QString root_;
    QHash<int, QString> names_;
};

} // namespace vessamo::test
