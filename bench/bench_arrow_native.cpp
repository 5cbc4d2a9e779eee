// FILE -> parse_document -> exported Arrow record batches, no Python: where
// the time of parse_arrow goes before pyarrow sees the batches.
//
//   build/release/bench_arrow_native FILE [RUNS]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "arrow/batches.hpp"
#include "bench_input.hpp"
#include "core/pipeline.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
        return 2;
    }
    std::string text;
    if (!quarzel::bench::read_input(argv[1], text)) return 1;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    using clock = std::chrono::steady_clock;
    auto max_rss_kb = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return u.ru_maxrss;
    };
    const long rss_before = max_rss_kb();
    double best_parse = 1e300, best_arrow = 1e300, best_total = 1e300;
    std::size_t batches = 0;
    for (int i = 0; i < runs; ++i) {
        auto t0 = clock::now();
        quarzel::ParseResult r =
            quarzel::parse_document(text, false, quarzel::ColumnLayout::Packed);
        auto t1 = clock::now();
        // Every batch is kept until the run ends, as a caller would.
        std::vector<ArrowArray> out;
        arrow::Status st = quarzel::document_batches(
            r.document, [&](const std::shared_ptr<arrow::Schema>&, ArrowArray* array) {
                out.push_back(*array);
                array->release = nullptr;
                return arrow::Status::OK();
            });
        auto t2 = clock::now();
        for (ArrowArray& array : out) array.release(&array);
        if (!st.ok()) {
            std::fprintf(stderr, "%s\n", st.ToString().c_str());
            return 1;
        }
        batches = out.size();
        best_parse = std::min(best_parse, std::chrono::duration<double>(t1 - t0).count());
        best_arrow = std::min(best_arrow, std::chrono::duration<double>(t2 - t1).count());
        best_total = std::min(best_total, std::chrono::duration<double>(t2 - t0).count());
    }
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::printf(
        "%s: %.1f MB, %zu batch(es); best of %d: parse %.3f s, arrow %.3f s, "
        "total %.3f s (%.0f MB/s)\n",
        argv[1], mb, batches, runs, best_parse, best_arrow, best_total, mb / best_total);
    std::printf("peak resident growth %.1f MB\n",
                static_cast<double>(max_rss_kb() - rss_before) / 1024.0);
    return 0;
}
