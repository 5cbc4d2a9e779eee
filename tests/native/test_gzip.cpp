// gzip files: the fast decoder gives what zlib's streaming inflate gives,
// text or reason, for members that outgrow the first guess, trailers whose
// size lies, many members, header fields and damage.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dataset/gzip.hpp"

namespace {

using namespace quarzel::dataset;

struct Header {
    bool checksum = false;
    std::string name, comment, extra;
};

std::string deflate_with(const std::string& in, int window_bits, int level,
                         const Header* header = nullptr) {
    z_stream s{};
    deflateInit2(&s, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
    gz_header h{};
    if (header) {
        h.hcrc = header->checksum;
        h.name = reinterpret_cast<Bytef*>(const_cast<char*>(header->name.c_str()));
        h.comment = reinterpret_cast<Bytef*>(const_cast<char*>(header->comment.c_str()));
        h.extra = reinterpret_cast<Bytef*>(const_cast<char*>(header->extra.data()));
        h.extra_len = static_cast<uInt>(header->extra.size());
        if (header->name.empty()) h.name = Z_NULL;
        if (header->comment.empty()) h.comment = Z_NULL;
        if (header->extra.empty()) h.extra = Z_NULL;
        deflateSetHeader(&s, &h);
    }
    std::string out(deflateBound(&s, in.size()) + 64, '\0');  // the bound counts the header
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

std::string gz(const std::string& in, int level = 6) {
    return deflate_with(in, 15 + 16, level);
}

std::string gz_with(const std::string& in, const Header& header) {
    return deflate_with(in, 15 + 16, 6, &header);
}

std::string zlib_stream(const std::string& in) {
    return deflate_with(in, 15, 6);
}

// The stream with its trailer's 4-byte field at `from_end` bytes before the
// end (8: CRC-32, 4: ISIZE) replaced.
std::string with_trailer(std::string s, std::size_t from_end, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s[s.size() - from_end + i] = static_cast<char>(v >> (8 * i));
    return s;
}

std::string cif_text(int rows) {
    std::string s = "data_t\nloop_\n_atom.id\n_atom.x\n_atom.label\n";
    for (int i = 0; i < rows; ++i)
        s += std::to_string(i) + " " + std::to_string(i * 37 % 1000) + ".25 C" +
             std::to_string(i % 17) + "\n";
    return s;
}

std::string members(const std::string& text, std::size_t each) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += each) out += gz(text.substr(i, each));
    return out;
}

struct GzipCase {
    const char* name;
    std::string bytes;
    std::string text;    // when it reads
    const char* reason;  // when it does not
    bool whole = true;   // libdeflate reads it alone (when it reads)
};

#ifdef QUARZEL_HAVE_LIBDEFLATE
constexpr bool kLibdeflate = true;
#else
constexpr bool kLibdeflate = false;
#endif

TEST(Gzip, FastDecoderAgreesWithInflate) {
    const std::string small = "data_a\n_cell.a 1\n";
    const std::string text = cif_text(2000);  // about 40 KB
    const std::string repeated = [] {
        std::string s;
        while (s.size() < (4u << 20)) s += "ATOM 1 N N . MET A 1 ? 27.340 24.430 2.614 1.00\n";
        return s;
    }();
    const std::string one = gz(text);
    const std::vector<GzipCase> cases = {
        {"one member", one, text, nullptr},
        {"empty member", gz(""), "", nullptr},
        {"stored blocks", gz(text, 0), text, nullptr},
        {"3000 members", members(text.substr(0, 30000), 10), text.substr(0, 30000), nullptr},
        {"zero padding between and after", gz(small) + std::string(3, '\0') + gz(small) + '\0',
         small + small, nullptr},
        // The last member's size is below half the input: the guess is four
        // times the input, and the 4 MB member needs several more tries.
        {"member far beyond the guess", gz(repeated) + gz(small), repeated + small, nullptr},
        // Each member's size is the guess: the second finds no room.
        {"equal members", one + one + one, text + text + text, nullptr},
        {"name, comment and extra field", gz_with(text, {false, "t.cif", "made here", "AB\2\0xy"}),
         text, nullptr},
        {"header checksum", gz_with(text, {true, "t.cif", "", ""}), text, nullptr, false},
        {"a zlib stream after a member", gz(small) + zlib_stream(text), small + text, nullptr,
         false},
        {"size below the truth", with_trailer(one, 4, static_cast<std::uint32_t>(text.size() / 2)),
         "", "corrupt gzip stream (incorrect length check)"},
        {"size above the truth", with_trailer(one, 4, static_cast<std::uint32_t>(text.size() + 1)),
         "", "corrupt gzip stream (incorrect length check)"},
        {"size past what deflate can reach", with_trailer(one, 4, 0xFFFFFFF0u), "",
         "corrupt gzip stream (incorrect length check)"},
        {"wrong CRC-32", with_trailer(one, 8, 12345), "",
         "corrupt gzip stream (incorrect data check)"},
        {"wrong CRC-32 in a later member", gz(small) + with_trailer(gz(small), 8, 1) + gz(small),
         "", "corrupt gzip stream (incorrect data check)"},
        {"wrong header checksum",
         [&] {
             std::string s = gz_with(text, {true, "", "", ""});
             s[10] = static_cast<char>(s[10] ^ 1);  // the checksum follows the 10-byte header
             return s;
         }(),
         "", "corrupt gzip stream (header crc mismatch)"},
        {"header only", one.substr(0, 10), "", "truncated gzip stream"},
        {"cut in the data", one.substr(0, one.size() / 2), "", "truncated gzip stream"},
        {"cut in the trailer", one.substr(0, one.size() - 3), "", "truncated gzip stream"},
        {"cut in a later member", one + gz(small).substr(0, 12), "", "truncated gzip stream"},
        {"junk after a member", gz(small) + "junk!", "",
         "corrupt gzip stream (incorrect header check)"},
        {"unknown method",
         [&] {
             std::string s = one;
             s[2] = 7;
             return s;
         }(),
         "", "corrupt gzip stream (unknown compression method)"},
        {"reserved flag",
         [&] {
             std::string s = one;
             s[3] = static_cast<char>(0x20);
             return s;
         }(),
         "", "corrupt gzip stream (unknown header flags set)"},
        {"reserved block type", one.substr(0, 10) + "\x07" + one.substr(11), "",
         "corrupt gzip stream (invalid block type)"},
    };
    Bytes fast, stream;  // reused from case to case, as a worker does
    for (const GzipCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool streaming : {false, true}) {
            Bytes& out = streaming ? stream : fast;
            std::string reason;
            const bool ok =
                streaming ? gunzip_stream(c.bytes, out, reason) : gunzip(c.bytes, out, reason);
            EXPECT_EQ(ok, c.reason == nullptr) << (streaming ? "inflate: " : "fast: ") << reason;
            if (c.reason) {
                EXPECT_EQ(reason, c.reason) << (streaming ? "inflate" : "fast");
            } else {
                EXPECT_TRUE(out.view() == c.text) << (streaming ? "inflate" : "fast");
            }
        }
        // The fast part reads what it should without zlib's help, from the
        // room of the first guess.
        Bytes whole;
        const bool read = gunzip_members(c.bytes, whole);
        EXPECT_EQ(read, kLibdeflate && c.whole && c.reason == nullptr);
        if (read) {
            EXPECT_TRUE(whole.view() == c.text);
        }
    }
}

TEST(Gzip, LyingSizeReservesNoMoreThanDeflateCanGive) {
    // A 100-byte file that claims 4 GB.
    const std::string lie = with_trailer(gz(cif_text(3)), 4, 0xFFFFFFF0u);
    ASSERT_LT(lie.size(), 200u);
    for (const bool streaming : {false, true}) {
        Bytes out;
        std::string reason;
        EXPECT_FALSE(streaming ? gunzip_stream(lie, out, reason) : gunzip(lie, out, reason));
        EXPECT_LE(out.capacity(), 1032 * lie.size() + 4096);
    }
}

}  // namespace
