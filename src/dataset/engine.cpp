#include "dataset/engine.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>
#include <unordered_map>
#include <utility>

#include "core/error.hpp"
#include "dataset/descriptors.hpp"
#include "dataset/worker.hpp"

namespace quarzel::dataset {

std::string folder_name(std::string_view category) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < category.size(); ++i) {
        const auto c = static_cast<unsigned char>(category[i]);
        const bool plain = c >= 0x80 || std::isalnum(c) || c == '-' || c == '+' || c == ',' ||
                           c == '@' || ((c == '_' || c == '.') && i != 0);
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    if (out.empty()) out = "%";
    if (out.size() > 200) {
        const std::size_t hash = std::hash<std::string_view>{}(category);
        char tail[24];
        std::snprintf(tail, sizeof tail, "~%016zx", hash);
        out = std::string(utf8_prefix(out, 180)) + tail;
    }
    return out;
}

namespace {

// Each table's tag columns over all workers. An input is read by one
// worker, so the tags one input brought keep the order that worker's
// buffer gave them.
void order_columns(const std::vector<std::unique_ptr<Worker>>& workers, Summary& summary) {
    using Origin = std::pair<std::uint64_t, std::size_t>;  // input, then place in the buffer
    std::map<std::string, std::unordered_map<std::string, Origin>> tables;
    for (const auto& w : workers) {
        for (const auto& [table, buffer] : w->tables()) {
            auto& first = tables[folder_name(table)];
            for (std::size_t k = 0; k < buffer->columns.size(); ++k) {
                const TagColumn& c = *buffer->columns[k];
                const Origin here{c.first_input, k};
                auto [it, added] = first.emplace(c.name, here);
                if (!added && here < it->second) it->second = here;
            }
        }
    }
    for (auto& [folder, first] : tables) {
        std::vector<std::pair<const std::string*, Origin>> sorted;
        sorted.reserve(first.size());
        for (const auto& [name, origin] : first) sorted.emplace_back(&name, origin);
        std::sort(sorted.begin(), sorted.end(),
                  [](const auto& a, const auto& b) { return a.second < b.second; });
        auto& out = summary.columns[folder];
        out.reserve(sorted.size());
        for (const auto& [name, origin] : sorted) out.emplace_back(*name, origin.first);
    }
}

}  // namespace

Summary convert(const Options& options, Progress& progress, const std::atomic<bool>& cancel) {
    const auto start = Clock::now();
    Summary summary;
    Shared shared(options, progress, cancel);
    {
        std::error_code ec;
        fs::create_directories(options.out_dir, ec);
        if (ec || !fs::is_directory(options.out_dir)) {
            summary.fatal = "cannot create the output folder " + options.out_dir + ": " +
                            (ec ? ec.message() : "not a folder");
            return summary;
        }
    }
    shared.next_part = first_free_part(options.out_dir);
    const std::size_t limit = raise_descriptor_limit();
    const DescriptorPlan plan = plan_descriptors(
        std::max(1u,
                 std::min<unsigned>(options.jobs, std::max<std::size_t>(1, options.inputs.size()))),
        options.max_open_writers, limit, descriptors_in_use());
    const unsigned jobs = plan.jobs;
    shared.open_writers = plan.open_writers;
    shared.workers = jobs;
    summary.jobs = jobs;
    summary.open_writers = plan.open_writers;
    std::vector<std::unique_ptr<Worker>> workers;
    for (unsigned i = 0; i < jobs; ++i) workers.push_back(std::make_unique<Worker>(shared));
    if (jobs == 1) {
        workers[0]->run();
    } else {
        std::vector<std::thread> threads;
        for (auto& w : workers) threads.emplace_back([&w] { w->run(); });
        for (auto& t : threads) t.join();
    }
    for (const auto& w : workers) {
        summary.files += w->files;
        summary.files_read += w->read;
        summary.files_failed += w->failed;
        summary.files_with_problems += w->with_problems;
        summary.problems += w->problems;
        for (int k = 0; k < 3; ++k) summary.findings[k] += w->findings[k];
        summary.files_invalid += w->invalid;
        summary.bytes += w->bytes;
        summary.text_bytes += w->text_bytes;
        for (const auto& [name, n] : w->rows) summary.rows[name] += n;
    }
    order_columns(workers, summary);
    summary.fatal = shared.fatal;
    summary.cancelled = cancel.load() && summary.files < options.inputs.size();
    summary.seconds = seconds_since(start);
    return summary;
}

}  // namespace quarzel::dataset
