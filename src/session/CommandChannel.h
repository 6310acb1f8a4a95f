// One reader's command channel: scan-code strings cut into feature reports,
// each report sent after the pacing interval, never faster than one report
// per interval (on a steady clock: see MinimumTimer). Nothing waits: strings are queued, and the channel's own
// timer sends them one report at a time while the event loop runs, so any
// number of channels on as many readers run side by side on one thread.
#pragma once

#include "device/HidPlatform.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace vortal9 {

class MinimumTimer;

class CommandChannel : public QObject
{
    Q_OBJECT

public:
    using SendDone = std::function<void(bool sent)>;

    CommandChannel(HidPlatform &platform, int pacingMs, QObject *parent = nullptr);

    // The open reader that reports go to, and its feature report length
    // (report ID byte included).
    void attach(HidHandle handle, int featureLength);
    // Drops everything queued; later reports are refused until the next attach.
    void detach();
    HidHandle handle() const { return m_handle; }

    // Queues one string. Strings longer than 15 characters go as consecutive
    // 14-character chunks, one report each; each report waits for the pacing
    // interval first. done(true) runs after the last report was accepted,
    // done(false) after the first refused one (the rest of that string is not
    // sent; later strings stay queued). An empty string sends nothing and
    // gives false after one pacing interval.
    void send(const QString &text, SendDone done = {});
    // Queues a pause: done() runs after ms with nothing sent.
    void pause(int ms, std::function<void()> done);
    // Drops every queued string and pause; none of their callbacks runs.
    void cancel();
    // True while anything is queued.
    bool isBusy() const { return !m_queue.empty(); }

    // Sends a string at once, without the pacing interval (last words before
    // the reader is closed for good). True when every report was accepted.
    bool sendNow(const QString &text);

Q_SIGNALS:
    // A report is about to go out: its chunk, as the recording keeps it.
    void reportGoingOut(const QString &chunk);
    // A report went out: its payload bytes (without report ID and fill).
    void reportSent(const std::vector<std::uint8_t> &payload);
    // A report was refused, or could not be built from its chunk.
    void reportRefused();

private:
    struct Item
    {
        QStringList chunks;   // empty for a pause
        int pauseMs = 0;
        SendDone done;        // a pause's always gets true
        qsizetype next = 0;
    };

    void scheduleNext();
    void onTimer();
    // Sends one chunk; emits the signals above.
    bool sendChunk(const QString &chunk);

    HidPlatform &m_platform;
    const int m_pacingMs;
    HidHandle m_handle = 0;
    int m_featureLength = 0;
    std::deque<Item> m_queue;
    MinimumTimer *m_timer; // never ends before the pacing interval has passed
};

} // namespace vortal9
