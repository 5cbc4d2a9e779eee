// bench_parse FILE [repeats]: version detection, lexing and parsing of a
// file into a sink that only counts events. Prints the best time and MB/s.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "bench_input.hpp"
#include "core/error.hpp"
#include "core/lexer.hpp"
#include "core/parser.hpp"
#include "core/version.hpp"

namespace {

struct CountingSink {
    std::size_t structure = 0, values = 0, errors = 0;
    std::size_t bytes = 0;  // touches every value, so nothing is optimised away
    void on_data_block(std::string_view) { ++structure; }
    void on_save_frame_start(std::string_view) { ++structure; }
    void on_save_frame_end() { ++structure; }
    void on_loop_start(std::span<const std::string_view> tags) { structure += tags.size(); }
    void on_loop_end() { ++structure; }
    void add_tag(std::string_view) { ++structure; }
    void add_value(std::string_view v, quarzel::ValueType) {
        ++values;
        bytes += v.size();
    }
    void on_list_start() { ++structure; }
    void on_list_end() { ++structure; }
    void on_table_start() { ++structure; }
    void on_table_key(std::string_view, quarzel::ValueType) { ++structure; }
    void on_table_end() { ++structure; }
    void on_parse_error(quarzel::NativeParseError) { ++errors; }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_parse FILE [repeats]\n");
        return 2;
    }
    std::string source;
    if (!quarzel::bench::read_input(argv[1], source)) return 1;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;

    // The lexer alone, to see what the parser adds.
    double best_lex = 1e300;
    std::size_t tokens = 0;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const quarzel::VersionResult detected = quarzel::detect_version(source);
        quarzel::Lexer lexer(detected.text, detected.version, detected.line_offset);
        quarzel::Token token;
        tokens = 0;
        while (lexer.next(token)) tokens += 1 + (token.value.size() & 1);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best_lex) best_lex = took.count();
    }

    double best = 1e300;
    CountingSink last;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const quarzel::VersionResult detected = quarzel::detect_version(source);
        quarzel::Lexer lexer(detected.text, detected.version, detected.line_offset);
        CountingSink sink;
        quarzel::parse(lexer, sink);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best) best = took.count();
        last = sink;
    }
    const double mb = static_cast<double>(source.size()) / 1e6;
    std::printf("%s: %.1f MB, %zu values, %zu structure events, %zu errors\n", argv[1], mb,
                last.values, last.structure, last.errors);
    std::printf("lex only, best of %d: %.3f s, %.1f MB/s (%zu)\n", repeats, best_lex, mb / best_lex,
                tokens);
    std::printf("lex + parse, best of %d: %.3f s, %.1f MB/s\n", repeats, best, mb / best);
    return 0;
}
