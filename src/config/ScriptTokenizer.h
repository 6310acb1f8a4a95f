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

// Cuts the token at 0-based position p of script. A marker is never a key:
// a run of "FF" pairs standing at p belongs to the wait before it (for the
// answer to the hot key, or to the token before) and is stepped over first.
// Then: two characters; "E0" or "F0" take the next pair unless it is a
// marker; "F0E0" takes one more pair the same way. Then it looks at the pair
// after the token: when it is "FF", the whole run of "FF" pairs is skipped
// and waitForAnswer is set. An empty text means nothing but markers was left.
Token cutToken(const QString &script, qsizetype p);

// True when playback goes on with a token at p: the first token is always
// cut, and after it playback stops once fewer than two characters are left,
// so a single character at the very end is never sent on its own.
inline bool hasNextToken(const QString &script, qsizetype next) { return next + 1 < script.size(); }

// Every token that playback sends, in order: from PlaybackStart while
// hasNextToken allows. Empty for a script of PlaybackStart characters or
// fewer, or one that holds nothing but markers after its header.
std::vector<Token> playbackTokens(const QString &script);

// A step of playback ends where playback waits for the reader's answer (a
// run of "FF" markers after the token), and nowhere else: not where a pause
// follows a break, nor where the reader happens to fall quiet. The session,
// the answer transcript, its reference check and the shown keys all cut
// steps here.
inline bool endsStep(const Token &token) { return token.waitForAnswer; }

struct Step
{
    std::vector<Token> tokens;   // in the order they are sent
    bool waitsForAnswer = false; // false only for keys after the last wait
};

// The tokens of playbackTokens(script) cut into steps. The configuration hot
// key, which playback sends first and whose answer it always awaits, is no
// token: it is the step before these.
std::vector<Step> playbackSteps(const QString &script);

} // namespace vortal9::script
