#pragma once

#include <QApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>

/// Prints CLOCK_MONOTONIC in nanoseconds once the watched window has painted
/// for the first time, then quits the application.
class FirstShow final : public QObject {
public:
    explicit FirstShow(QObject* window) { window->installEventFilter(this); }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            watched->removeEventFilter(this);
            QTimer::singleShot(0, [] {
                timespec ts{};
                clock_gettime(CLOCK_MONOTONIC, &ts);
                std::printf("first-show %lld\n", ts.tv_sec * 1000000000LL + ts.tv_nsec);
                if (std::getenv("PELVORAN_BENCH_SMAPS") != nullptr)
                    dumpLargestMappings();
                std::fflush(stdout);
                QApplication::quit();
            });
        }
        return false;
    }

private:
    /// The mappings that hold the most resident memory, to stderr.
    static void dumpLargestMappings() {
        std::FILE* f = std::fopen("/proc/self/smaps", "r");
        if (f == nullptr)
            return;
        char line[512];
        std::string name;
        std::map<std::string, long> rss;
        while (std::fgets(line, sizeof line, f)) {
            long kb = 0;
            unsigned long from = 0, to = 0;
            if (std::sscanf(line, "Rss: %ld kB", &kb) == 1) {
                rss[name] += kb;
            } else if (std::sscanf(line, "%lx-%lx ", &from, &to) == 2) {
                const char* path = std::strchr(line, '/');
                const char* bracket = std::strchr(line, '[');
                name = path ? path : bracket ? bracket : "[anonymous]\n";
            }
        }
        std::fclose(f);
        std::multimap<long, std::string> byRss;
        for (const auto& [n, kb] : rss)
            byRss.emplace(kb, n);
        int shown = 0;
        for (auto it = byRss.rbegin(); it != byRss.rend() && shown < 15; ++it, ++shown)
            std::fprintf(stderr, "%7ld kB %s", it->first, it->second.c_str());
    }

    bool seen_ = false;
};
