#include "core/document_reader.hpp"

#include <utility>

#include "core/builder.hpp"
#include "core/parser.hpp"
#include "core/windowed_lexer.hpp"

namespace quarzel {

// One pass over the input. The lexer, builder and parser refer to each
// other: made once, in place.
struct DocumentReader::Run {
    std::unique_ptr<ByteSource> source;
    TextWindows windows;
    VersionResult detected;
    RawBuilder builder;
    WindowedLexer lexer;
    Parser<WindowedLexer, RawBuilder> parser;

    Run(std::unique_ptr<ByteSource> s, const Options& options,
        const std::optional<NativeParseError>& latin1)
        : source(std::move(s)),
          windows(*source, options.window, latin1),
          detected(windows.start()),
          // Values are copied out of the windows: the builder has no text
          // to view.
          builder(detected.version, false, {}, ColumnLayout::Packed),
          lexer(windows, detected.version),
          parser(lexer, builder) {
        builder.set_selection(options.selection);
        if (latin1) builder.on_parse_error(*latin1);
        for (const NativeParseError& e : detected.errors) builder.on_parse_error(e);
        parser.pause_at_blocks(true);
    }
};

DocumentReader::DocumentReader(Opener open, Options options)
    : open_(std::move(open)), options_(options) {}

DocumentReader::~DocumentReader() = default;

void DocumentReader::start_run() {
    run_ = std::make_unique<Run>(open_(), options_, latin1_);
    version_ = run_->detected.version;
}

std::optional<ParsedBlock> DocumentReader::next_block() {
    for (;;) {
        while (!pending_.empty()) {
            ParsedBlock block = std::move(pending_.front());
            pending_.pop_front();
            if (skip_blocks_ > 0) {
                --skip_blocks_;
                continue;
            }
            ++blocks_out_;
            return block;
        }
        if (done_) return std::nullopt;
        try {
            if (!run_) start_run();
            RawBuilder& builder = run_->builder;
            run_->parser.run();
            if (run_->parser.finished()) {
                ParsedCif doc = std::move(builder).finish();
                for (ParsedBlock& b : doc.blocks) pending_.push_back(std::move(b));
                for (NativeParseError& e : doc.errors) errors_.push_back(std::move(e));
                done_ = true;
                // The blocks' tag names live in the document's names.
                names_ = std::move(doc.names);
            } else {
                for (ParsedBlock& b : builder.take_blocks()) pending_.push_back(std::move(b));
                for (NativeParseError& e : builder.take_errors()) errors_.push_back(std::move(e));
                builder.clear_arena();
            }
        } catch (RestartAsLatin1& restart) {
            // Everything again, as Latin-1; what was handed out is passed over.
            latin1_ = std::move(restart.record);
            run_.reset();
            pending_.clear();
            errors_.clear();
            skip_blocks_ = blocks_out_;
            skip_errors_ = errors_out_;
            give_latin1_first_ = true;
        }
    }
}

std::vector<NativeParseError> DocumentReader::take_errors() {
    std::vector<NativeParseError> out;
    for (NativeParseError& e : errors_) {
        // After a restart the Latin-1 record comes first, new; then the
        // records handed out before are passed over.
        if (give_latin1_first_) {
            give_latin1_first_ = false;
            out.push_back(std::move(e));
            continue;
        }
        if (skip_errors_ > 0) {
            --skip_errors_;
            continue;
        }
        out.push_back(std::move(e));
    }
    errors_.clear();
    errors_out_ += out.size();
    return out;
}

}  // namespace quarzel
