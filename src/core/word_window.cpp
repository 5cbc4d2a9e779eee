#include "core/word_window.hpp"

#include <atomic>

namespace quarzel::lexer_detail {

namespace {

bool processor_has_wide_windows() noexcept {
#if defined(QUARZEL_WIDE_WINDOWS)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
           __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
#else
    return false;
#endif
}

const bool kHasWideWindows = processor_has_wide_windows();
std::atomic<bool> g_on{kHasWideWindows};

}  // namespace

bool wide_windows() noexcept {
    return g_on.load(std::memory_order_relaxed);
}

bool set_wide_windows(bool on) noexcept {
    return g_on.exchange(on && kHasWideWindows);
}

}  // namespace quarzel::lexer_detail
