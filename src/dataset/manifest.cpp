#include "dataset/manifest.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quarzel::dataset {

void put_json_string(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(ch);
        } else if (c < 0x20) {
            out += "\\u00";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        } else {
            out.push_back(ch);
        }
    }
    out.push_back('"');
}

namespace {

arrow::Status io_error(const char* what, const std::string& path, int code) {
    return arrow::Status::IOError(what, " ", path, ": ", std::strerror(code));
}

}  // namespace

std::string manifest_text(const std::vector<Rename>& renames) {
    std::string out = "{\"quarzel_commit\": 1,\n \"rename\": [";
    for (std::size_t i = 0; i < renames.size(); ++i) {
        out += i ? ",\n  [" : "\n  [";
        put_json_string(out, renames[i].from);
        out += ", ";
        put_json_string(out, renames[i].to);
        out.push_back(']');
    }
    out += "],\n \"remove\": []}\n";
    return out;
}

arrow::Result<std::string> write_manifest(const std::string& out_dir, std::uint64_t number,
                                          const std::vector<Rename>& renames) {
    char name[48];
    std::snprintf(name, sizeof name, "commit-%05llu.json", static_cast<unsigned long long>(number));
    const std::string folder = out_dir + "/" + std::string(kCommits) + "/";
    const std::string path = folder + name;
    const std::string temp = folder + "." + name + ".tmp";
    const std::string text = manifest_text(renames);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return io_error("cannot create", temp, errno);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int code = errno;
            ::close(fd);
            std::remove(temp.c_str());
            return io_error("cannot write", temp, code);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        const int code = errno;
        std::remove(temp.c_str());
        return io_error("cannot write", temp, code);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int code = errno;
        std::remove(temp.c_str());
        return io_error("cannot rename", temp, code);
    }
    return path;
}

arrow::Status apply_manifest(const std::string& out_dir, const std::string& manifest,
                             const std::vector<Rename>& renames) {
    for (const Rename& r : renames) {
        const std::string from = out_dir + "/" + r.from;
        if (std::rename(from.c_str(), (out_dir + "/" + r.to).c_str()) != 0)
            return io_error("cannot rename", from, errno);
    }
    if (std::remove(manifest.c_str()) != 0) return io_error("cannot remove", manifest, errno);
    return arrow::Status::OK();
}

}  // namespace quarzel::dataset
