// Values over several lines: triple-quoted strings, text fields, and the
// folding protocol for lines too long or that would read as something else.
#include "core/writer.hpp"

#include "core/writer_scan.hpp"

namespace quarzel {

void CifWriter::write_multiline_quoted(std::string_view text, std::string_view q) {
    const Lines l = line_stats(text);
    const std::size_t limit = options_.line_limit;
    if (need_sep_) {
        if (col_ + 1 + q.size() + l.first_cp <= limit) {
            put(' ');
            ++col_;
        } else {
            newline();
        }
    } else if (col_ != 0 && col_ + q.size() + l.first_cp > limit) {
        newline();
    }
    put(q);
    put(text);
    put(q);
    col_ = l.last_cp + q.size();
    need_sep_ = true;
}

void CifWriter::write_text_field(std::string_view text, const FormChoice& c) {
    end_line();
    put(';');
    if (!c.protocol) {
        put(text);
    } else {
        // The protocols: a first line of the prefix and one backslash (the
        // prefix alone), of the prefix and two (the prefix and folding) or
        // of one backslash (folding alone); then every line of the value
        // behind the prefix, folded where it is too long.
        const std::string_view prefix = c.prefix ? ">" : "";
        put(prefix);
        put(c.prefix && c.fold ? "\\\\" : "\\");
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = text.find('\n', start);
            put('\n');
            const std::string_view line = text.substr(
                start, end == std::string_view::npos ? std::string_view::npos : end - start);
            if (c.fold) {
                write_folded_line(line, prefix);
            } else {
                put(prefix);
                put(line);
            }
            if (end == std::string_view::npos) break;
            start = end + 1;
        }
    }
    put("\n;");
    newline();
}

void CifWriter::write_folded_line(std::string_view line, std::string_view prefix) {
    const std::size_t avail = options_.line_limit - prefix.size();
    std::size_t cp = code_points(line);
    for (;;) {
        const bool escape = ends_with_backslash(line);
        if (!escape && cp <= avail) {
            put(prefix);
            put(line);
            return;
        }
        if (escape) {
            // Its own backslash would make it a continuation line: written
            // up to that backslash with one more (a continuation line that
            // keeps it), then its trailing blanks on a line of their own,
            // which ends it (an empty line when there are none).
            std::size_t core = line.size();
            while (line[core - 1] == ' ' || line[core - 1] == '\t') --core;
            const std::size_t blanks = line.size() - core;
            if (cp - blanks + 1 <= avail) {
                put(prefix);
                put(line.substr(0, core));
                put("\\\n");
                line.remove_prefix(core);
                cp = blanks;
                continue;  // the blanks: on one line, or cut as any line
            }
        }
        const std::size_t bytes = prefix_bytes(line, avail - 1);
        put(prefix);
        put(line.substr(0, bytes));
        put("\\\n");
        line.remove_prefix(bytes);
        cp -= avail - 1;
    }
}

}  // namespace quarzel
