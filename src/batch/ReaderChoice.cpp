#include "batch/ReaderChoice.h"

#include "batch/BatchTool.h"
#include "batch/Output.h"
#include "device/AccessUSBIO.h"

#include <QTextStream>

#include <algorithm>

namespace vortal9::batch {

namespace {

// Discovery reports its failures to the window's status bar; here they are
// only kept.
class QuietView final : public DeviceView
{
public:
    void setReaderCountCaption(const QString &) override { }
    void clearReaderList() override { }
    void addReaderEntry(const QString &) override { }
    void selectReaderEntry(int) override { }
    void setPanelText(int, const QString &) override { }
};

} // namespace

std::vector<std::string> discoverReaders(HidPlatform &platform)
{
    QuietView view;
    AccessUSBIO usb(platform, view);
    usb.FindReaders();
    usb.CloseReader();
    std::vector<std::string> paths;
    for (const std::string &path : usb.DevicePaths) {
        if (!path.empty())
            paths.push_back(path);
    }
    return paths;
}

std::optional<std::vector<int>> chooseReaders(const QStringList &choices, bool all,
    const std::vector<std::string> &readers, QTextStream &err, const QString &tool)
{
    std::vector<int> numbers;
    if (all || (choices.isEmpty() && readers.size() == 1)) {
        for (int i = 1; i <= int(readers.size()); ++i)
            numbers.push_back(i);
    } else if (choices.isEmpty()) {
        err << "vortal9-batch: " << readers.size() << " readers are attached: choose them with --reader N or --all ("
            << tool << " list numbers them)." << Qt::endl;
        return std::nullopt;
    }
    for (const QString &choice : choices) {
        bool isNumber = false;
        const int n = choice.toInt(&isNumber);
        const auto found = std::find(readers.begin(), readers.end(), argumentBytes(choice).toStdString());
        const int number = isNumber ? n : (found == readers.end() ? 0 : int(found - readers.begin()) + 1);
        if (number < 1 || number > int(readers.size())) {
            err << "vortal9-batch: no reader " << shown(choice) << " is attached (" << tool << " list shows them)."
                << Qt::endl;
            return std::nullopt;
        }
        if (std::find(numbers.begin(), numbers.end(), number) == numbers.end())
            numbers.push_back(number);
    }
    return numbers;
}

} // namespace vortal9::batch
