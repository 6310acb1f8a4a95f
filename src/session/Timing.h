// The fixed intervals of the window's timers. The program always runs with
// Timing::real(); tests hand a faster set to the window's constructor.
#pragma once

namespace vortal9 {

struct Timing
{
    int quietMs = 500;          // Timer1: reader quiet this long counts as idle
    int pacingMs = 300;         // Timer2: wait before every feature report
    int breakPauseMs = 1200;    // Timer2: pause after a break code during playback
    int echoMs = 700;           // Timer3: key-echo check after an on-screen key
    int answerTimeoutMs = 10000; // playback gives up when the reader stays silent this long

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
        return t;
    }
};

} // namespace vortal9
