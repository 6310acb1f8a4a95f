// Start-up to the first painted window and peak memory of the program's
// window against a bare Qt Widgets window, run side by side in turns.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char **environ;

namespace {

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

struct Run
{
    double wallMs;
    double peakMiB;
};

Run runOnce(const char *program, const char *mode)
{
    // The child prints the monotonic time at which its window had painted;
    // start-up is the time from the spawn to then.
    char *argv[] = {const_cast<char *>(program), const_cast<char *>(mode), nullptr};
    int out[2];
    if (pipe(out) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const long long start = monotonicNs();
    pid_t pid = 0;
    if (posix_spawn(&pid, program, &actions, nullptr, argv, environ) != 0) {
        std::perror("posix_spawn");
        std::exit(2);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char buffer[64] = {};
    ssize_t got = 0;
    for (ssize_t n; (n = read(out[0], buffer + got, sizeof buffer - 1 - got)) > 0;)
        got += n;
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got == 0) {
        std::fprintf(stderr, "%s %s failed\n", program, mode);
        std::exit(2);
    }
    const long long painted = std::atoll(buffer);
    return {(painted - start) / 1.0e6, usage.ru_maxrss / 1024.0};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string program = argc > 1 ? argv[1] : BENCH_WINDOW;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;
    runOnce(program.c_str(), "form"); // warm the caches
    runOnce(program.c_str(), "bare");
    std::vector<double> formMs, bareMs, formMiB, bareMiB, ratios;
    for (int i = 0; i < runs; ++i) {
        const Run f = runOnce(program.c_str(), "form");
        const Run b = runOnce(program.c_str(), "bare");
        formMs.push_back(f.wallMs);
        bareMs.push_back(b.wallMs);
        formMiB.push_back(f.peakMiB);
        bareMiB.push_back(b.peakMiB);
        ratios.push_back(f.wallMs / b.wallMs);
    }
    std::printf("start-up to the first painted window, median of %d runs each, in turns:\n", runs);
    std::printf("  program window  %7.1f ms   peak %6.1f MiB\n", median(formMs), median(formMiB));
    std::printf("  bare Qt window  %7.1f ms   peak %6.1f MiB\n", median(bareMs), median(bareMiB));
    std::printf("  ratio (time, pair by pair)  %.2f\n", median(ratios));
    std::printf("  ratio (peak memory)         %.2f\n", median(formMiB) / median(bareMiB));
    return 0;
}
