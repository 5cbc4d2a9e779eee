// FILE -> parse_document, no Python: throughput and peak memory.
//
//   build/release/bench_pipeline [--json] FILE [RUNS] [strict]
//
// With --json it prints one line {"times": [...], "peak": BYTES} for
// bench/run, the peak being the growth of resident memory during a run (the
// text already loaded).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "bench_input.hpp"
#include "core/pipeline.hpp"

namespace {

// A field of /proc/self/status in bytes (VmRSS, VmHWM).
long status_bytes(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1) * 1024;
    return 0;
}

void reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

long peak_rss_kb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = argc > 1 && std::strcmp(argv[1], "--json") == 0;
    if (json) {
        --argc;
        ++argv;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [RUNS] [strict]\n", argv[0]);
        return 2;
    }
    std::string text;
    if (!quarzel::bench::read_input(argv[1], text)) return 1;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const bool strict = argc > 3 && std::strcmp(argv[3], "strict") == 0;

    if (json) {
        std::string times;
        long peak = 0;
        for (int i = 0; i < runs; ++i) {
            reset_peak();
            const long rss = status_bytes("VmRSS:");
            auto t0 = std::chrono::steady_clock::now();
            {
                quarzel::ParseResult r = quarzel::parse_document(text, strict);
                auto t1 = std::chrono::steady_clock::now();
                times += (i ? ", " : "") +
                         std::to_string(std::chrono::duration<double>(t1 - t0).count());
            }
            peak = std::max(peak, status_bytes("VmHWM:") - rss);
        }
        std::printf("{\"times\": [%s], \"peak\": %ld}\n", times.c_str(), peak);
        return 0;
    }
    const long before = peak_rss_kb();
    double best = 1e300, total = 0;
    std::size_t blocks = 0, errors = 0;
    for (int i = 0; i < runs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        quarzel::ParseResult r = quarzel::parse_document(text, strict);
        auto t1 = std::chrono::steady_clock::now();
        blocks = r.document.blocks.size();
        errors = r.document.errors.size();
        double s = std::chrono::duration<double>(t1 - t0).count();
        best = std::min(best, s);
        total += s;
    }
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::printf("%s: %.1f MB, %zu block(s), %zu error(s)\n", argv[1], mb, blocks, errors);
    std::printf("best %.3f s (%.0f MB/s), mean %.3f s over %d run(s)\n", best, mb / best,
                total / runs, runs);
    std::printf("peak RSS %.0f MB (text %.0f MB; growth over reading %.0f MB)\n",
                peak_rss_kb() / 1024.0, mb, (peak_rss_kb() - before) / 1024.0);
    return 0;
}
