// The fixed intervals of a reader session. The programs always run with
// Timing::real(); tests hand a faster set to the session or the window.
#pragma once

namespace vortal9 {

struct Timing
{
    int quietMs = 500;            // reader quiet this long counts as idle (Timer1)
    int pacingMs = 300;           // wait before every feature report (Timer2)
    int breakPauseMs = 1200;      // pause after a break code during playback (Timer2)
    int echoMs = 700;             // key-echo check after an on-screen key (Timer3)
    int answerTimeoutMs = 10000;  // playback gives up when the reader stays silent this long
    int answerLimitMs = 60000;    // ... or when one answer goes on this long without a pause

    static constexpr Timing real() { return Timing{}; }

    // All intervals divided by divisor, for tests that need not run at real speed.
    static constexpr Timing faster(int divisor)
    {
        Timing t;
        t.quietMs /= divisor;
        t.pacingMs /= divisor;
        t.breakPauseMs /= divisor;
        t.echoMs /= divisor;
        t.answerTimeoutMs /= divisor;
        t.answerLimitMs /= divisor;
        return t;
    }
};

} // namespace vortal9
