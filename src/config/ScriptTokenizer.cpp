// The token cutter of script playback.
#include "config/ScriptTokenizer.h"

#include "device/ScanCodes.h"

namespace vortal9::script {

namespace {

const QString ExtendedPrefix = QStringLiteral("E0");
const QString BreakPrefix = QStringLiteral("F0");
const QString ExtendedBreakPrefix = QStringLiteral("F0E0");

bool isMarkerAt(const QString &script, qsizetype p)
{
    return QStringView(script).mid(p, 2) == scancode::AnswerMarker;
}

// The position after the run of markers that starts at p (p when none does).
qsizetype skipMarkers(const QString &script, qsizetype p)
{
    while (isMarkerAt(script, p))
        p += 2;
    return p;
}

} // namespace

Token cutToken(const QString &script, qsizetype p)
{
    // Markers at the token's own position were already waited for.
    p = skipMarkers(script, p);

    // A token is one pair, or a prefix pair and what it belongs to: "E0" or
    // "F0" plus one pair, "F0E0" plus one more. Each token goes out as one
    // report. Comparisons are case-sensitive: the program writes upper case.
    QString text = script.mid(p, 2);
    qsizetype q = p + 2;
    auto takeNextPair = [&] {
        if (isMarkerAt(script, q))
            return false;
        text += script.mid(q, 2);
        q += 2;
        return true;
    };
    if ((text == ExtendedPrefix || text == BreakPrefix) && takeNextPair() && text == ExtendedBreakPrefix)
        takeNextPair();

    // A run of "FF" markers after the token means one wait for the reader's
    // answer; the next token starts after the last marker of the run.
    const qsizetype afterMarkers = skipMarkers(script, q);
    const bool waitForAnswer = afterMarkers != q;
    const bool isBreak = text.startsWith(BreakPrefix);
    return Token{text, waitForAnswer, isBreak, afterMarkers};
}

std::vector<Token> playbackTokens(const QString &script)
{
    std::vector<Token> tokens;
    if (script.size() <= PlaybackStart)
        return tokens;
    for (qsizetype p = PlaybackStart;; p = tokens.back().next) {
        Token token = cutToken(script, p);
        if (token.text.isEmpty())
            return tokens;
        tokens.push_back(std::move(token));
        if (!hasNextToken(script, tokens.back().next))
            return tokens;
    }
}

std::vector<Step> playbackSteps(const QString &script)
{
    std::vector<Step> steps;
    bool stepEnded = true;
    for (Token &token : playbackTokens(script)) {
        if (stepEnded)
            steps.push_back({});
        stepEnded = endsStep(token);
        steps.back().waitsForAnswer = stepEnded;
        steps.back().tokens.push_back(std::move(token));
    }
    return steps;
}

} // namespace vortal9::script
