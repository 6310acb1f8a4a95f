// The token cutter of script playback.
#include "config/ScriptTokenizer.h"

namespace vortal9::script {

namespace {

const QString ExtendedPrefix = QStringLiteral("E0");
const QString BreakPrefix = QStringLiteral("F0");
const QString ExtendedBreakPrefix = QStringLiteral("F0E0");
const QString AnswerMarker = QStringLiteral("FF");

} // namespace

Token cutToken(const QString &script, qsizetype p)
{
    // A token is one pair, or a prefix pair and what it belongs to: "E0" or
    // "F0" plus one pair, "F0E0" plus one more. Each token goes out as one
    // report. Comparisons are case-sensitive: the program writes upper case.
    QString text = script.mid(p, 2);
    qsizetype q = p + 2;
    if (text == ExtendedPrefix || text == BreakPrefix) {
        text += script.mid(p + 2, 2);
        q = p + 4;
        if (text == ExtendedBreakPrefix) {
            text += script.mid(p + 4, 2);
            q = p + 6;
        }
    }

    // A run of "FF" markers after the token means one wait for the reader's
    // answer; the next token starts after the last marker of the run.
    bool waitForAnswer = false;
    if (script.mid(q, 2) == AnswerMarker) {
        while (script.mid(q + 2, 2) == AnswerMarker)
            q += 2;
        q += 2;
        waitForAnswer = true;
    }

    const bool isBreak = text.startsWith(BreakPrefix);
    return Token{text, waitForAnswer, isBreak, q};
}

std::vector<Token> playbackTokens(const QString &script)
{
    std::vector<Token> tokens;
    if (script.size() <= PlaybackStart)
        return tokens;
    for (qsizetype p = PlaybackStart;; p = tokens.back().next) {
        tokens.push_back(cutToken(script, p));
        if (!hasNextToken(script, tokens.back().next))
            return tokens;
    }
}

} // namespace vortal9::script
