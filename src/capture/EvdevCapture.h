// A capture of one reader through its input event nodes (Linux evdev).
//
// Each node is opened, handed to libevdev and grabbed (EVIOCGRAB): from then
// on only this capture receives its events, and the desktop no longer sees
// the reader type. Key events are decoded by one KeyDecoder for all nodes
// (one keyboard, one set of modifiers). Reading sleeps on a QSocketNotifier
// per node; nothing polls and no thread is started.
#pragma once

#include "capture/KeyDecoder.h"
#include "device/KeyCapture.h"

#include <QStringList>

#include <memory>
#include <vector>

struct libevdev;
class QSocketNotifier;

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
        QSocketNotifier *notifier = nullptr;
        bool syncing = false; // reading the state libevdev rebuilt after lost events
    };

    EvdevCapture(std::vector<Node> nodes, std::unique_ptr<KeyDecoder> decoder);
    void readNode(std::size_t index);
    void releaseAll();
    static void release(Node &node);

    std::vector<Node> m_nodes;
    std::unique_ptr<KeyDecoder> m_decoder;
};

} // namespace vortal9
