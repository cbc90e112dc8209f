// The configuration as text, for machines without a display: one "key = value" line per
// box of the configuration dialog and per box of each mailbox ("mailbox.2.port = 995"),
// printed from the record and the login settings (passwords never) and applied back through
// the same forms, checks and messages as the dialogs. The files stay the only stored form.
//
// Applying changes only the keys the text names; a password given replaces the stored one
// (the confirmation box takes the same text). Mailboxes are named by their position: the
// next free position adds one, "mailbox.N = delete" removes one, with its login (positions
// are those of the table before the text is applied). A mailbox's login keys
// ("mailbox.N.login") follow it through the edit, whatever its position becomes. Lines
// beginning with "#" are comments. A value is taken without the blanks around it, or
// written in double quotes (with \" \\ \n \t) to keep them.
#pragma once

#include "config/configuracio.h"

#include <QString>
#include <optional>

namespace vessamo::config {

// Whether the key names a password (smtp.password, mailbox.N.password).
bool isPasswordKey(const QString &key);

// The text of the record and mailbox table as the dialogs would show them on opening.
QString configurationText(const Configuration &configuration, const QString &path,
                          const QString &programFolder);

// Applies the text to `configuration` and, when every check passes, saves the result at
// `path`, which `configuration` then holds. Returns the refusal (the dialog's message, or
// what is wrong with the text), or nothing on success. On a refusal nothing in memory or
// on disk changes, except folders already prepared by the checks, as in the dialog.
std::optional<QString> applyConfigurationText(Configuration &configuration, const QString &text,
                                              const QString &path, const QString &programFolder);

} // namespace vessamo::config
