// An answer transcript: for each step of a configuration, the keys the
// program sent and what the reader typed in answer. In playback a step ends
// where playback waits for the reader's answer (script::endsStep), so a
// script's steps and its playback's steps line up; outside playback (Enter
// Config and the on-screen keys) where the reader has answered and fallen
// quiet, which is where a recording puts its "FF" markers.
//
// Transcripts are written as JSON (schema "vortal9-transcript", version 1,
// documented in docs/json.md) and compared with a reference made on a reader
// known to be right.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <vector>

namespace vortal9::transcript {

inline constexpr char SchemaName[] = "vortal9-transcript";
inline constexpr int SchemaVersion = 1;

struct Step
{
    QString keys;   // hexadecimal pairs sent in this step
    QString answer; // what the reader typed, exactly; "" when void
    // Void: card data was typed during the step, or typing that was no
    // answer ran into it (card::CardGuard). Nothing of its answer is kept.
    bool cardSwiped = false;
    bool operator==(const Step &) const = default;
};
using Steps = std::vector<Step>;

// The keys of each step a script plays: the hot key first, then those of
// script::playbackSteps.
Steps scriptSteps(const QString &script);

// An answer as a person compares it: CR LF, CR and LF are one line end, and
// spaces and tabs at the end of a line (and of the text) do not count.
QString normalizedAnswer(const QString &answer);

struct Difference
{
    int step = 0;     // 1-based
    QString expected; // the reference's answer at that step ("" past its end)
    QString typed;    // this reader's answer ("" past its end)
};

// The first step at which the answers differ (normalized), or nullopt.
// Void steps (cardSwiped) differ from nothing: their answers are not known.
std::optional<Difference> firstDifference(const Steps &expected, const Steps &typed);
// The first void step (1-based), or nullopt.
std::optional<int> firstVoidStep(const Steps &steps);

// One reader's entry of a transcript file.
QJsonArray stepsToJson(const Steps &steps);
// The steps of the first reader of a transcript file's JSON; nullopt with a
// reason when it is not such a file, or when one of those steps is void (no
// reference can be made from a step whose answer was not kept).
std::optional<Steps> referenceSteps(const QJsonObject &file, QString *why);

} // namespace vortal9::transcript
