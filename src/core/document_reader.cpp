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
          builder(detected.version, false, {}, options.layout),
          lexer(windows, detected.version),
          parser(lexer, builder) {
        builder.set_selection(options.selection);
        builder.set_positions([this](std::string_view t) { return parser.position_of(t); });
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

void DocumentReader::take_from_builder(bool finished) {
    RawBuilder& builder = run_->builder;
    std::vector<std::size_t> marks;
    std::vector<ParsedBlock> blocks;
    if (finished) {
        ParsedCif doc = std::move(builder).finish(&marks);
        blocks = std::move(doc.blocks);
        for (NativeParseError& e : doc.errors) errors_.push_back(std::move(e));
        // The blocks' tag names (and values) live in the document's texts.
        names_ = std::move(doc.names);
        arena_ = std::move(doc.arena);
    } else {
        blocks = builder.take_blocks(&marks);
        for (NativeParseError& e : builder.take_errors()) errors_.push_back(std::move(e));
    }
    for (std::size_t i = 0; i < blocks.size(); ++i)
        pending_.push_back({std::move(blocks[i]), marks[i]});
}

void DocumentReader::move_errors(std::size_t mark, std::vector<NativeParseError>* to) {
    while (first_error_ < mark && !errors_.empty()) {
        if (to != nullptr) to->push_back(std::move(errors_.front()));
        errors_.pop_front();
        ++first_error_;
    }
}

std::optional<ParsedBlock> DocumentReader::next_block(std::vector<NativeParseError>* errors) {
    for (;;) {
        if (!pending_.empty()) {
            Pending next = std::move(pending_.front());
            pending_.pop_front();
            if (skip_blocks_ > 0) {
                // Handed out before the restart: its records were too.
                --skip_blocks_;
                move_errors(next.mark, nullptr);
                continue;
            }
            ++blocks_out_;
            if (errors != nullptr) {
                if (carry_) errors->push_back(*std::exchange(carry_, std::nullopt));
                move_errors(next.mark, errors);
            }
            return std::move(next.block);
        }
        if (done_) return std::nullopt;
        try {
            // The blocks handed out are done with: the texts their values
            // viewed go (the parser is paused at a block's start, which
            // holds no value yet).
            if (run_) run_->builder.clear_arena();
            if (!run_) start_run();
            run_->parser.run();
            const bool finished = run_->parser.finished();
            take_from_builder(finished);
            done_ = finished;
        } catch (RestartAsLatin1& restart) {
            // Everything again, as Latin-1; what was handed out is passed
            // over, and the record goes with the next block.
            latin1_ = std::move(restart.record);
            run_.reset();
            pending_.clear();
            errors_.clear();
            first_error_ = 0;
            ++restarts_;
            if (options_.pass_over_handed_out) {
                skip_blocks_ = blocks_out_;
                if (blocks_out_ != 0) carry_ = latin1_;
            } else {
                blocks_out_ = 0;
            }
        }
    }
}

std::vector<NativeParseError> DocumentReader::take_errors() {
    std::vector<NativeParseError> out;
    if (carry_) out.push_back(*std::exchange(carry_, std::nullopt));
    move_errors(SIZE_MAX, &out);
    return out;
}

}  // namespace quarzel
