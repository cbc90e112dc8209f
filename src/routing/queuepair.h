// The words of the queue and archive store: the names of a pair's files, told by their
// suffixes after a shared 19-character stem, and the result of a store operation.
#pragma once

#include <QString>

namespace vessamo::routing {

inline constexpr qsizetype kStemLength = 19;
inline const QString kForwardToSuffix = QStringLiteral(".destinatari");
inline const QString kMessageSuffix = QStringLiteral(".missatge");
inline const QString kPartSuffix = QStringLiteral(".part");
inline const QString kSentMarkSuffix = QStringLiteral(".enviat");
inline const QString kSafetyCopySuffix = QStringLiteral(".copia");
inline const QString kFirstAttemptSuffix = QStringLiteral(".intent");
// The failed attempts of a pair (count, time and text of the last failure); a version that
// does not know the name leaves the file alone.
inline const QString kAttemptsSuffix = QStringLiteral(".attempts");
// A pair the administrator took back from the spam archive: the queue pass forwards it
// without asking the anti-spam program again, which would only file it as spam once more.
inline const QString kReleasedSuffix = QStringLiteral(".released");

// Success, or a failure with a Catalan text that begins with its phase ("Arxivant: ...").
struct StoreResult
{
    bool ok = true;
    QString error;

    explicit operator bool() const { return ok; }
    static StoreResult failure(const QString &text) { return {false, text}; }
};

// A queued pair, known by the name it is listed under (its forward-to file, or its sent
// mark once a server has accepted the message), and the names of its files (no folder).
class QueuePair
{
public:
    explicit QueuePair(const QString &listedName)
        : listed_(listedName)
        , stem_(stemOf(listedName))
    {
    }
    static QueuePair fromStem(const QString &stem) { return QueuePair(stem + kForwardToSuffix); }

    const QString &listedName() const { return listed_; }
    // For a well-formed name, e.g. "M202401312359590001".
    const QString &stem() const { return stem_; }
    // Accepted by a server: only its move into the sent archive is left.
    bool isSent() const { return listed_.endsWith(kSentMarkSuffix); }

    QString forwardToName() const { return stem_ + kForwardToSuffix; }
    QString messageName() const { return stem_ + kMessageSuffix; }
    QString sentMarkName() const { return stem_ + kSentMarkSuffix; }
    QString firstAttemptName() const { return stem_ + kFirstAttemptSuffix; }
    QString attemptsName() const { return stem_ + kAttemptsSuffix; }
    QString releasedName() const { return stem_ + kReleasedSuffix; }

private:
    // The name without its suffix rather than a fixed 19 characters: a stray, oddly named
    // file is then never paired with another pair's message.
    static QString stemOf(const QString &name)
    {
        for (const QString &suffix : {kForwardToSuffix, kSentMarkSuffix}) {
            if (name.endsWith(suffix))
                return name.chopped(suffix.size());
        }
        return name.left(kStemLength);
    }

    QString listed_;
    QString stem_;
};

} // namespace vessamo::routing
