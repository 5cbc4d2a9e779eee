// File descriptors: a run stays within the process's limit on open files
// whatever the number of workers and categories. Each worker holds one
// descriptor per open part (closing the least recently used one at its
// bound), one for the input it reads and one for a commit's manifest.
#pragma once

#include <cstddef>

namespace quarzel::dataset {

// Raises the soft limit on open files to the hard one (as far as the
// system allows) and returns the soft limit then in force.
std::size_t raise_descriptor_limit() noexcept;

// Descriptors this process holds open now.
std::size_t descriptors_in_use() noexcept;

struct DescriptorPlan {
    unsigned jobs;             // workers, at most as many as asked
    std::size_t open_writers;  // each worker's bound on open parts, at least 1
};

// Workers and open parts per worker for `limit` descriptors of which
// `in_use` are taken: a reserve of kReserved for the rest of the process,
// then per worker its input and manifest and at least one part; fewer
// workers when there are not enough for each, never more open parts than
// `max_open_writers`.
DescriptorPlan plan_descriptors(unsigned jobs, std::size_t max_open_writers, std::size_t limit,
                                std::size_t in_use) noexcept;

constexpr std::size_t kReservedDescriptors = 16;
constexpr std::size_t kWorkerDescriptors = 2;  // an input and a manifest

}  // namespace quarzel::dataset
