// Lexing throughput: bench_lex FILE [repeats]
//
// Reads FILE, then repeatedly runs version detection and pulls every token,
// and prints the size, the token count, the best time and the rate.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_input.hpp"
#include "core/lexer.hpp"
#include "core/version.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [repeats]\n", argv[0]);
        return 2;
    }
    std::string source;
    if (!quarzel::bench::read_input(argv[1], source)) return 1;
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    double best = 1e300;
    std::size_t tokens = 0, bytes = 0, errors = 0;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const quarzel::VersionResult detected = quarzel::detect_version(source);
        quarzel::Lexer lexer(detected.text, detected.version, detected.line_offset);
        quarzel::Token t;
        std::size_t n = 0, sum = 0;
        while (lexer.next(t)) {
            ++n;
            sum += t.value.size() + t.column;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds < best) best = seconds;
        tokens = n;
        bytes = sum;
        errors = lexer.errors().size();
    }
    std::printf("bytes %zu\ntokens %zu\nerrors %zu\nchecksum %zu\nbest %.6f s\nrate %.1f MB/s\n",
                source.size(), tokens, errors, bytes, best, source.size() / best / 1e6);
    return 0;
}
