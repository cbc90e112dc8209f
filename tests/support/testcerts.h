// Certificates made at test time with openssl (nothing committed that could expire): a test
// CA, and certificates it signs for "localhost" (good), for another host (wrong host) and
// one whose validity ended in 2020 (expired); two whose common name is "localhost" and
// whose subject alternative names are other (another host; another name and 127.0.0.1), and
// one with the common name alone; plus a self-signed "localhost" certificate from an
// unknown CA. Made once per test binary.
#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <initializer_list>

namespace vessamo::test {

class TestCerts
{
public:
    struct Pair
    {
        QSslCertificate certificate;
        QSslKey key;
    };

    static const TestCerts &get()
    {
        static const TestCerts certs;
        return certs;
    }

    QString caFile() const { return path("ca.pem"); }
    Pair good() const { return pair("good"); }
    Pair wrongHost() const { return pair("wronghost"); }
    Pair expired() const { return pair("expired"); }
    Pair unknownCa() const { return pair("unknown"); }
    // CN=localhost, subjectAltName DNS:other.example
    Pair commonNameOnlyMatches() const { return pair("cnmatches"); }
    // CN=localhost, subjectAltName DNS:*.example.org, IP:127.0.0.1
    Pair addressInAlternativeNames() const { return pair("ipsan"); }
    // CN=localhost, no subjectAltName
    Pair commonNameOnly() const { return pair("cnonly"); }

private:
    TestCerts()
    {
        const QString d = dir_.path();
        QFile config(path("ca.cnf"));
        if (config.open(QIODevice::WriteOnly)) {
            config.write("[ca]\ndefault_ca = test\n[test]\ndir = " + QFile::encodeName(d)
                         + "\ndatabase = $dir/index.txt\nserial = $dir/serial\n"
                           "unique_subject = no\nnew_certs_dir = $dir\ncertificate = $dir/ca.pem\n"
                           "private_key = $dir/ca.key\ndefault_md = sha256\npolicy = any\n"
                           "copy_extensions = copy\n[any]\ncommonName = supplied\n");
            config.close();
        }
        QFile(path("index.txt")).open(QIODevice::WriteOnly);
        QFile serial(path("serial"));
        if (serial.open(QIODevice::WriteOnly))
            serial.write("01\n");
        serial.close();
        run(words({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                   "/CN=Vessamo test CA", "-keyout", "ca.key", "-out", "ca.pem"}));
        sign("good", "localhost", "DNS:localhost", {"-days", "2"});
        sign("wronghost", "other.example", "DNS:other.example", {"-days", "2"});
        sign("expired", "localhost", "DNS:localhost",
             {"-startdate", "20200101000000Z", "-enddate", "20200102000000Z"});
        sign("cnmatches", "localhost", "DNS:other.example", {"-days", "2"});
        sign("ipsan", "localhost", "DNS:*.example.org,IP:127.0.0.1", {"-days", "2"});
        sign("cnonly", "localhost", nullptr, {"-days", "2"});
        run(words({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                   "/CN=localhost", "-addext", "subjectAltName=DNS:localhost", "-keyout",
                   "unknown.key", "-out", "unknown.pem"}));
    }

    static QStringList words(std::initializer_list<const char *> list)
    {
        QStringList out;
        for (const char *w : list)
            out << QString::fromLatin1(w);
        return out;
    }

    QString path(const char *name) const { return dir_.filePath(QString::fromLatin1(name)); }

    void run(const QStringList &arguments) const
    {
        QProcess openssl;
        openssl.setWorkingDirectory(dir_.path());
        openssl.start(QStringLiteral("openssl"), arguments);
        const bool ok = openssl.waitForFinished(60000) && openssl.exitCode() == 0;
        EXPECT_TRUE(ok) << "openssl " << arguments.join(u' ').toStdString() << ": "
                        << openssl.readAllStandardError().toStdString();
    }

    // `altNames` null: no subjectAltName extension.
    void sign(const char *name, const char *host, const char *altNames,
              std::initializer_list<const char *> validity) const
    {
        const QString n = QString::fromLatin1(name);
        const QString h = QString::fromLatin1(host);
        QStringList extension;
        if (altNames)
            extension << QStringLiteral("-addext")
                      << QStringLiteral("subjectAltName=") + QString::fromLatin1(altNames);
        run(words({"req", "-newkey", "rsa:2048", "-nodes", "-subj"})
            << QStringLiteral("/CN=") + h << extension << QStringLiteral("-keyout")
            << n + QStringLiteral(".key") << QStringLiteral("-out") << n + QStringLiteral(".csr"));
        run(words({"ca", "-batch", "-config", "ca.cnf", "-notext", "-in"})
            << n + QStringLiteral(".csr") << QStringLiteral("-out") << n + QStringLiteral(".pem")
            << words(validity));
    }

    Pair pair(const char *name) const
    {
        const QString base = dir_.filePath(QString::fromLatin1(name));
        QFile cert(base + QStringLiteral(".pem"));
        QFile key(base + QStringLiteral(".key"));
        if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
            return Pair {QSslCertificate(QByteArray()), QSslKey()};
        return {QSslCertificate(&cert, QSsl::Pem), QSslKey(&key, QSsl::Rsa, QSsl::Pem)};
    }

    QTemporaryDir dir_;
};

} // namespace vessamo::test
