// The shape of what a reader typed for one card swipe, without the card's
// data: the preamble and postamble with every letter and digit masked (see
// masked()), each track's start and end sentinel and the length of each of
// its fields, and the terminator. Readers configured alike type swipes of
// one shape for the same card; the shape is all a technician needs to see.
//
// As text, one line that a technician can pass back (--expect-shape):
//
//   pre:"A#" %[16^22^31]? ;[16=20]? post:"" term:CR
//
// pre and post quoted, '"' and '\' escaped with '\', other characters below
// space or from DEL to U+009F as \xNN; each track its start sentinel, its
// field lengths in brackets joined by its separator ('^' for a track that
// starts with '%', '=' for one that starts with ';') and '?' when its end
// sentinel came; term CR, CRLF, TAB or NONE.
#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>
#include <vector>

namespace vortal9::card {

struct TrackShape
{
    QChar start; // '%' or ';'
    std::vector<int> fields; // length of each field, separators not counted
    bool ended = false; // the end sentinel '?' came
    bool operator==(const TrackShape &) const = default;
};

struct SwipeShape
{
    enum class Terminator { None, CR, CRLF, Tab };

    QString preamble; // masked
    std::vector<TrackShape> tracks;
    QString postamble; // masked
    Terminator terminator = Terminator::None;
    bool operator==(const SwipeShape &) const = default;

    // The shape of typed: a swipe as the capture gave it ("\n" for the
    // Return key). Nothing of typed but its shape is kept.
    static SwipeShape of(const QString &typed);
    // A shape given as text (toText()'s form; spaces between the parts may
    // be one or more), or nullopt when it is not one.
    static std::optional<SwipeShape> parse(const QString &text);

    QString toText() const;
    // {"preamble", "postamble", "terminator", "tracks": [{"start", "fields", "end"}], "shape": toText()}
    QJsonObject toJson() const;
};

// The separator of fields in a track that starts with start.
QChar fieldSeparator(QChar start);

} // namespace vortal9::card
