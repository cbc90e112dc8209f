// Form-only address and host-name checks: one "@" and a "." in the domain part are
// enough, the part before the "@" is never examined, and surrounding blanks do not matter.
#include "mail/addressvalidation.h"

#include <gtest/gtest.h>

using namespace vessamo::mail;

namespace {

struct Row
{
    const char16_t *text;
    bool valid;
    const char *why;
};

const Row kAddresses[] = {
    {u"user@example.com", true, "ordinary address"},
    {u"@example.com", true, "nothing before the @ is still accepted"},
    {u"a b <c>@example.com", true, "the local part is not examined"},
    {u" user@example.com", true, "a leading blank belongs to the local part"},
    {u"user@example.com   ", true, "blanks after the domain do not matter"},
    {u"user@   ", false, "a domain of blanks only"},
    {u"user@", false, "no domain at all"},
    {u"user@localhost", false, "single-label domain"},
    {u"user@.", true, "a domain that is just a dot"},
    {u"user@192.168.0.1", true, "dotted address as domain"},
    {u"USER@EXAMPLE.COM", true, "letter case plays no part"},
    {u"a@example.com@example.org", false, "two @ even with good domains"},
    {u"a@@example.com", false, "two @ side by side"},
    {u"user.example.com", false, "no @"},
    {u"", false, "empty element of a list ending with the delimiter"},
    {u"user@ex\u00e0mple.cat", true, "any characters around the dot"},
};

const Row kDomains[] = {
    {u"mail.example.com", true, "ordinary host name"},
    {u"  mail.example.com  ", true, "surrounding blanks"},
    {u"smtp", false, "single label"},
    {u"", false, "empty"},
    {u"    ", false, "blanks only"},
    {u".", true, "just a dot"},
    {u"a..b", true, "empty labels are allowed"},
    {u"host.", true, "trailing dot"},
    {u"127.0.0.1", true, "dotted address"},
    {u"SMTP.EXAMPLE.COM", true, "upper case"},
    {u"not a host.name", true, "any text with a dot"},
};

} // namespace

TEST(AddressValidation, EmailAddressRows)
{
    for (const Row &row : kAddresses) {
        const QString text = QString::fromUtf16(row.text);
        EXPECT_EQ(IsValidEmailAddress(text), row.valid) << row.why << ": " << text.toStdString();
    }
}

TEST(AddressValidation, DomainRows)
{
    for (const Row &row : kDomains) {
        const QString text = QString::fromUtf16(row.text);
        EXPECT_EQ(IsValidDomain(text), row.valid) << row.why << ": " << text.toStdString();
    }
}
