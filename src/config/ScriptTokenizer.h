// The token cutter of script playback.
#pragma once

#include <QString>

#include <vector>

namespace vortal9::script {

// Position (0-based) where playback starts reading a script: after the
// 18-character hot key and its "FF".
inline constexpr qsizetype PlaybackStart = 20;

struct Token
{
    QString text;        // 2, 4 or 6 characters (fewer only at the very end of an odd text)
    bool waitForAnswer;  // a run of "FF" markers follows the token
    bool isBreak;        // text starts with "F0"
    qsizetype next;      // 0-based position where the next token starts
};

// Cuts the token that starts at 0-based position p of script:
// two characters; "E0" or "F0" take two more; "F0E0" takes two more again.
// Then looks at the pair after the token: when it is "FF", the whole run of
// "FF" pairs is skipped and waitForAnswer is set.
Token cutToken(const QString &script, qsizetype p);

// True when playback goes on with a token at p: the first token is always
// cut, and after it playback stops once fewer than two characters are left,
// so a single character at the very end is never sent on its own.
inline bool hasNextToken(const QString &script, qsizetype next) { return next + 1 < script.size(); }

// Every token that playback sends, in order: from PlaybackStart while
// hasNextToken allows. Empty for a script of PlaybackStart characters or fewer.
std::vector<Token> playbackTokens(const QString &script);

} // namespace vortal9::script
