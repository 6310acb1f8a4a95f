// Time of a change of country layout in the real window, pictures loaded
// and the window painted, after the first change; side by side with a
// repaint of the same window without a change, so that the figure reads as
// a ratio on a machine of any speed or load. It reports and never fails on
// a time: it fails only when a layout did not take.
#include "EmulatedPlatform.h"
#include "keyboard/Layouts.h"
#include "ui/MainForm.h"
#include "ui/UserDialogs.h"

#include <QApplication>
#include <QComboBox>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Rounds of one change to every country; `bench_layout 1` is the suite's
    // quick run.
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    vortal9::emu::EmulatedPlatform platform;
    vortal9::QtUserDialogs dialogs;
    vortal9::MainForm form(platform, nullptr, dialogs);
    form.show();
    QApplication::processEvents();
    auto *countries = form.findChild<QComboBox *>(QStringLiteral("CbKBType"));

    bool allTook = true;
    auto timed = [&](auto &&what) {
        const auto start = std::chrono::steady_clock::now();
        what();
        form.repaint(); // the keys as the user sees them, painted
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    auto change = [&](int country) {
        return timed([&] {
            countries->setCurrentIndex(country);
            Q_EMIT countries->activated(country);
            allTook = allTook && countries->currentIndex() == country;
        });
    };
    // The first change of each country and state decodes its pictures.
    double first = 0;
    for (int c = 0; c < vortal9::keyboard::CountryCount; ++c)
        first = std::max(first, change(c));
    std::vector<double> changes, repaints, ratios;
    for (int round = 0; round < rounds; ++round) {
        for (int c = 0; c < vortal9::keyboard::CountryCount; ++c) {
            const double changed = change((c + 1) % vortal9::keyboard::CountryCount);
            const double repainted = timed([] {});
            changes.push_back(changed);
            repaints.push_back(repainted);
            ratios.push_back(changed / std::max(repainted, 1e-3));
        }
    }
    std::printf("layout change, in turns with a repaint of the unchanged window, %zu pairs:\n", changes.size());
    std::printf("  first change of each layout (decoding pictures)  at most %.2f ms\n", first);
    std::printf("  change after that   median %.3f ms   max %.3f ms\n", median(changes),
                *std::max_element(changes.begin(), changes.end()));
    std::printf("  repaint alone       median %.3f ms   max %.3f ms\n", median(repaints),
                *std::max_element(repaints.begin(), repaints.end()));
    std::printf("  ratio change / repaint, pair by pair: median %.2f\n", median(ratios));
    if (!allTook)
        std::printf("  a layout did NOT take\n");
    return allTook ? 0 : 1;
}
