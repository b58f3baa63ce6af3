// The parallel floor of a scan: the native floor's walk and 4 KB reads, worked by N threads that
// share one breadth-first frontier of folders.
//   qf_parallel_floor [--random] N ROOT
// Prints one line of key=value figures.
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_walk.h"

namespace {

struct Frontier {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::string> folders;
    int busy = 0;
    long files = 0;
    long subfolders = 0;
};

// Takes folders until none waits and no thread is inside one.
void Work(Frontier* frontier)
{
    char buffer[4096];
    long files = 0, subfolders = 0;
    std::unique_lock<std::mutex> hold(frontier->lock);
    for (;;) {
        frontier->changed.wait(hold, [&] { return !frontier->folders.empty() || frontier->busy == 0; });
        if (frontier->folders.empty())
            break;
        const std::string dir = std::move(frontier->folders.front());
        frontier->folders.pop_front();
        ++frontier->busy;
        hold.unlock();
        ListFolder(
            dir,
            [&](std::string path) {
                ++subfolders;
                std::lock_guard<std::mutex> push(frontier->lock);
                frontier->folders.push_back(std::move(path));
                frontier->changed.notify_one();
            },
            [&](int fd) {
                ++files;
                if (pread(fd, buffer, sizeof buffer, 0) < 0)
                    std::perror("pread");
            });
        hold.lock();
        if (--frontier->busy == 0 && frontier->folders.empty())
            frontier->changed.notify_all();
    }
    frontier->files += files;
    frontier->subfolders += subfolders;
}

}  // namespace

int main(int argc, char** argv)
{
    RandomOption(&argc, &argv);
    const int jobs = argc == 3 ? std::atoi(argv[1]) : 0;
    if (jobs < 1) {
        std::fprintf(stderr, "usage: %s [--random] N ROOT\n", argv[0]);
        return 2;
    }
    Frontier frontier;
    frontier.folders.push_back(argv[2]);
    const long long before = ReadChars();
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < jobs; ++i)
        threads.emplace_back(Work, &frontier);
    for (std::thread& thread : threads)
        thread.join();
    const double ms = MsSince(start);
    std::printf("ms=%.1f files=%ld folders=%ld bytes_read=%lld peak_rss_kb=%ld\n", ms, frontier.files,
                frontier.subfolders, ReadChars() - before, PeakRssKb());
    return 0;
}
