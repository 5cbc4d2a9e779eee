#include "dataset/descriptors.hpp"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>

namespace quarzel::dataset {

std::size_t raise_descriptor_limit() noexcept {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 1024;
    if (lim.rlim_cur < lim.rlim_max) {
        // An unlimited hard limit still stops at the kernel's nr_open.
        for (rlim_t want : {lim.rlim_max, rlim_t{1} << 20, rlim_t{1} << 16}) {
            if (want > lim.rlim_max || want <= lim.rlim_cur) continue;
            rlimit raised{want, lim.rlim_max};
            if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
                lim.rlim_cur = want;
                break;
            }
        }
    }
    if (lim.rlim_cur == RLIM_INFINITY) return std::size_t{1} << 20;
    return static_cast<std::size_t>(lim.rlim_cur);
}

std::size_t descriptors_in_use() noexcept {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return 64;  // a guess where /proc is missing
    std::size_t n = 0;
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') ++n;
    ::closedir(dir);
    return n;  // counts the listing's own descriptor: one to spare
}

DescriptorPlan plan_descriptors(unsigned jobs, std::size_t max_open_writers, std::size_t limit,
                                std::size_t in_use) noexcept {
    const std::size_t taken = in_use + kReservedDescriptors;
    const std::size_t free = limit > taken ? limit - taken : 0;
    const std::size_t per_worker_min = kWorkerDescriptors + 1;
    const std::size_t fit = std::max<std::size_t>(1, free / per_worker_min);
    DescriptorPlan plan;
    plan.jobs = static_cast<unsigned>(std::min<std::size_t>(std::max(1u, jobs), fit));
    const std::size_t each = free / plan.jobs;
    plan.open_writers =
        std::clamp<std::size_t>(each > kWorkerDescriptors ? each - kWorkerDescriptors : 1, 1,
                                std::max<std::size_t>(1, max_open_writers));
    return plan;
}

}  // namespace quarzel::dataset
