// One reader's command channel: scan-code strings cut into feature reports,
// each report sent after the pacing interval, never faster than one report
// per interval (on a steady clock: see MinimumTimer). Nothing waits: strings are queued, and the channel's own
// timer sends them one report at a time while the event loop runs, so any
// number of channels on as many readers run side by side on one thread.
//
// The system holds each feature report until the reader has answered it.
// Where the platform allows (HidPlatform::featureSender), that wait happens
// on a thread of the channel's own, so that a hundred readers do not queue
// behind each other's answers; the pacing interval starts when the answer is
// in, as it does when the report is sent on the event loop.
#pragma once

#include "device/HidPlatform.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace vortal9 {

class MinimumTimer;

class CommandChannel : public QObject
{
    Q_OBJECT

public:
    using SendDone = std::function<void(bool sent)>;

    CommandChannel(HidPlatform &platform, int pacingMs, QObject *parent = nullptr);
    ~CommandChannel() override;

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
    // Drops every queued string and pause; none of their callbacks runs. A
    // report still waiting for the reader's answer is waited for first, and
    // reportSent() tells when it was accepted (the keys it pressed are down),
    // reportFailed() when it failed.
    void cancel();
    // The same, but a report waiting for the reader's answer is given up on
    // where the system allows it (the program is ending): its wait is
    // interrupted, and reportFailed() tells of it, since the reader may have
    // taken it all the same.
    void giveUp();
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
    // A report went to the system and failed: refused, timed out, or its
    // wait for the answer broken. The reader may have taken it before the
    // failure: the keys it presses may be down. Its payload bytes, as
    // reportSent() gives them. Followed by reportRefused(), except for a
    // report settled by cancel() or giveUp().
    void reportFailed(const std::vector<std::uint8_t> &payload);
    // A report was refused (after reportFailed()), or could not be built
    // from its chunk (nothing went out).
    void reportRefused();

private:
    struct Item
    {
        QStringList chunks;   // empty for a pause
        int pauseMs = 0;
        SendDone done;        // a pause's always gets true
        qsizetype next = 0;
    };

    class ReportThread;

    void scheduleNext();
    void onTimer();
    // After the head item's chunk was sent (or refused): its next chunk, or
    // the item is done.
    void goOn(bool sent);
    // Where a report waits for the reader's answer: on the report thread
    // when the platform allows (the answer then goes on in onAnswered()), or
    // here, on the caller's thread.
    enum class Wait { OnReportThread, Here };
    // Sends one chunk; emits the signals above. False when it was refused,
    // or no report could be built from it.
    bool sendChunk(const QString &chunk, Wait wait);
    // The report thread's answer: the signals above, then goOn().
    void onAnswered(quint64 ticket);
    // Waits for a report in flight; reportSent() if it was accepted.
    void settleInFlight();
    void emitOutcome(bool accepted, const std::vector<std::uint8_t> &report);
    // A report's payload: without its report ID and the zero fill after it.
    static std::vector<std::uint8_t> payloadOf(const std::vector<std::uint8_t> &report);

    HidPlatform &m_platform;
    const int m_pacingMs;
    HidHandle m_handle = 0;
    int m_featureLength = 0;
    std::deque<Item> m_queue;
    MinimumTimer *m_timer; // never ends before the pacing interval has passed
    HidPlatform::FeatureSender m_sender; // empty: reports go out on the event loop
    std::unique_ptr<ReportThread> m_reportThread; // started with the first report it sends
    bool m_inFlight = false;  // a report waits for the reader's answer on the report thread
    quint64 m_ticket = 0;     // changes with cancel(): what was under way then goes no further
};

} // namespace vortal9
