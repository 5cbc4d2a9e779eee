// Fault injection for the archive engine's tests, loaded with LD_PRELOAD
// (tests/python/test_dataset_faults.py); never part of the library.
//
//   QUARZEL_FAULT_UNDER=DIR    only renames to a path that starts with DIR count
//   QUARZEL_FAULT_RENAME=N     the Nth of them kills the process (SIGKILL) before it happens
//   QUARZEL_FAULT_LOG=FILE     each of them appends its target path and a newline to FILE
//
// rename, renameat and renameat2 are covered: the engine's commits and
// Python's os.replace alike.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::atomic<long> renames{0};

void before_rename(const char* to) {
    const char* under = std::getenv("QUARZEL_FAULT_UNDER");
    if (!under || !to || std::strncmp(to, under, std::strlen(under)) != 0) return;
    const long n = ++renames;
    if (const char* log = std::getenv("QUARZEL_FAULT_LOG")) {
        const int fd = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const std::string line = std::string(to) + "\n";
            (void)!::write(fd, line.data(), line.size());
            ::close(fd);
        }
    }
    if (const char* at = std::getenv("QUARZEL_FAULT_RENAME"); at && std::atol(at) == n)
        ::kill(::getpid(), SIGKILL);
}

template <class F>
F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int rename(const char* from, const char* to) {
    static const auto real = next<int (*)(const char*, const char*)>("rename");
    before_rename(to);
    return real(from, to);
}

__attribute__((visibility("default"))) int renameat(int from_dir, const char* from, int to_dir,
                                                    const char* to) {
    static const auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
    before_rename(to);
    return real(from_dir, from, to_dir, to);
}

__attribute__((visibility("default"))) int renameat2(int from_dir, const char* from, int to_dir,
                                                     const char* to, unsigned flags) {
    static const auto real =
        next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    before_rename(to);
    return real(from_dir, from, to_dir, to, flags);
}
}
