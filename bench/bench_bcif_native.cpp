// BinaryCIF decoding without Python, and the share of it that reading the
// MessagePack (quarzel's own reader, into its tree) takes:
// for each file, the best of RUNS of reading its MessagePack tree alone
// and of decoding the whole file into typed Arrow batches.
//
//   build/release/bench_bcif_native RUNS FILE...   (prints one JSON line)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bcif/msgpack_tree.hpp"
#include "bcif/to_arrow.hpp"
#include "bench_input.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RUNS FILE...\n", argv[0]);
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[1]));
    using clock = std::chrono::steady_clock;
    auto secs = [](clock::duration d) { return std::chrono::duration<double>(d).count(); };
    double tree_total = 0, decode_total = 0, bytes = 0;
    for (int f = 2; f < argc; ++f) {
        std::string data;
        if (!quarzel::bench::read_input(argv[f], data)) return 1;
        bytes += static_cast<double>(data.size());
        double best_tree = 1e300, best_decode = 1e300;
        for (int i = 0; i < runs; ++i) {
            auto t0 = clock::now();
            const quarzel::bcif::MsgTree tree = quarzel::bcif::MsgTree::parse(data);
            auto t1 = clock::now();
            const auto tables = quarzel::bcif::read_tables(data);
            auto t2 = clock::now();
            if (!tree.complete() || !tables.ok() || !tables->errors.empty()) {
                std::fprintf(stderr, "%s: not decoded cleanly\n", argv[f]);
                return 1;
            }
            best_tree = std::min(best_tree, secs(t1 - t0));
            best_decode = std::min(best_decode, secs(t2 - t1));
        }
        tree_total += best_tree;
        decode_total += best_decode;
    }
    std::printf("{\"msgpack_tree\": %.6f, \"decode_to_arrow\": %.6f, \"bytes\": %.0f}\n",
                tree_total, decode_total, bytes);
    return 0;
}
