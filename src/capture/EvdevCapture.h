// A capture of one reader through its input event nodes (Linux evdev).
//
// Each node is opened, handed to libevdev and grabbed (EVIOCGRAB): from then
// on only this capture receives its events, and the desktop no longer sees
// the reader type. Key events are decoded by one KeyDecoder for all nodes
// (one keyboard, one set of modifiers).
//
// The kernel keeps 64 events per reader of a keyboard's node (about six
// characters of a reader typing with Shift) and drops them all when one more
// comes. A reader types a character every few milliseconds, so the nodes are
// read on a thread of the capture's own, which sleeps in poll() until a node
// has events or the capture ends: a busy event loop (a repaint, a feature
// report the kernel holds until the reader answers, a hundred readers on one
// thread) then loses no key. What was typed reaches the thread the capture
// lives in as queued signals, in order.
#pragma once

#include "capture/KeyDecoder.h"
#include "device/KeyCapture.h"

#include <QStringList>

#include <memory>
#include <thread>
#include <vector>

struct libevdev;

namespace vortal9 {

class EvdevCapture : public KeyCapture
{
    Q_OBJECT

public:
    // Opens and grabs every node in nodes. If any cannot be opened, is no
    // input device or cannot be grabbed, the nodes already taken are released
    // and the capture is refused with one line naming the node and the cause.
    static CaptureAttempt open(const QStringList &nodes, std::unique_ptr<KeyDecoder> decoder);

    // Releases the grabs and closes the nodes.
    ~EvdevCapture() override;

    // The nodes held; empty once the device was lost.
    QStringList nodes() const;

private:
    struct Node
    {
        QString path;
        int fd = -1;
        libevdev *device = nullptr;
        bool syncing = false; // reading the state libevdev rebuilt after lost events
    };

    EvdevCapture(std::vector<Node> nodes, std::unique_ptr<KeyDecoder> decoder, int stop);
    // The reading thread: until the stop descriptor is written or a node
    // fails. Only it touches the nodes' libevdev state and the decoder.
    void readUntilStopped();
    // Reads what one node has queued; its key presses are added to keys,
    // and lost is set when the kernel dropped events. 0, or the errno that
    // ends the node (ENODEV when the reader was unplugged).
    int readNode(Node &node, CapturedKeys &keys, bool &lost);
    void onLost();
    void stopReading();
    void releaseAll();
    static void release(Node &node);

    std::vector<Node> m_nodes;
    std::unique_ptr<KeyDecoder> m_decoder;
    int m_stop = -1; // an eventfd: written to end the reading thread
    std::thread m_reading;
};

} // namespace vortal9
