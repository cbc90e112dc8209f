// The MX lookup of the mail object: one DNS query of type MX over UDP to the first known
// name server, one reply, the exchanger with the lowest preference. When a domain has no
// answer the lookup climbs to its parent domains as far as the machine's base domain.
// Blocks the caller (a nested event loop) until the reply arrives or the time limit ends.
#pragma once

#include "dns/dnsservers.h"

#include <QString>
#include <chrono>
#include <functional>

namespace vessamo::dns {

using StatusReporter = std::function<void(const QString &)>;

inline constexpr std::chrono::milliseconds kMxReplyTimeLimit {5000};

struct MxQueryOptions
{
    // Server table and domains. Not owned; nullptr means the process-wide table
    // (processDnsServers()). Discovery fills it while it holds no server.
    DnsServers *servers = nullptr;
    // Where discovery looks when it has to run.
    DnsSources sources = systemDnsSources();
    // The DNS port: tests only, real lookups always use 53.
    quint16 port = 53;
    // How long to wait for the reply; running out is reported like a failed read.
    std::chrono::milliseconds timeLimit = kMxReplyTimeLimit;
};

// Outcome of QueryMx: the best exchanger (empty when there is none), or the failure
// text ("No DNS entries found, MX Query cannot contine.", "No Valid Domain Specified",
// "Problem sending MX query", "Problem receiving MX query") with an empty host.
struct MxQueryResult
{
    QString host;
    QString failure;
};

// The module routine: queries `domain` (the default domain when empty), walking to the
// parent domains while a reply has no answer.
MxQueryResult QueryMx(const QString &domain, const MxQueryOptions &options = {});

// The mail object's MXQuery: trims `IPDomain`, reports "Performing MX Query[, Domain: d]"
// through `status`, runs QueryMx and reports its failure text through `status`.
// Returns the exchanger's host name, or empty when there is none or anything failed.
QString MXQuery(const QString &IPDomain, const StatusReporter &status,
                const MxQueryOptions &options = {});

// The server table and domains kept for the life of the process.
DnsServers &processDnsServers();

} // namespace vessamo::dns
