// The values of one tag against its item: form (type or construct),
// standard uncertainty, permitted values, ranges, and for lists and tables
// the container, its dimensions and each element.
#include <cmath>
#include <cstdio>

#include "core/ascii.hpp"
#include "core/number.hpp"
#include "validate/check_context.hpp"

namespace quarzel::validate::detail {

namespace {

struct Failure {
    Code code = Code::Type;
    Check check = Check::Type;
    std::string message;
    std::string value;  // the scalar (or element) at fault
};

std::string format_number(double v) {
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, "%.10g", v);
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string bound_text(const Bound& b) {
    if (!b.set) return {};
    return b.is_text ? b.text : format_number(b.number);
}

std::string describe_ranges(const std::vector<Range>& ranges) {
    std::string out;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const Range& r = ranges[i];
        if (i) out += " or ";
        const std::string lo = bound_text(r.low), hi = bound_text(r.high);
        if (!r.exclusive) {
            out += lo + ":" + hi;
        } else if (r.low.set && r.high.set && lo == hi) {
            out += "= " + lo;
        } else if (r.low.set && r.high.set) {
            out += "> " + lo + " and < " + hi;
        } else if (r.low.set) {
            out += "> " + lo;
        } else if (r.high.set) {
            out += "< " + hi;
        } else {
            out += "any";
        }
    }
    return out;
}

std::string describe_type(const ItemRule& item) {
    if (!item.type_name.empty()) return item.type_name;
    std::string out;
    const auto& list = item.type.sequence.empty() ? item.type.alternatives : item.type.sequence;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) out += item.type.sequence.empty() ? "|" : ",";
        out += contents_name(list[i]);
    }
    return out;
}

bool in_range(const Range& r, double v, double widen) {
    if (!r.exclusive) {
        if (r.low.set && v < r.low.number - widen) return false;
        if (r.high.set && v > r.high.number + widen) return false;
        return true;
    }
    if (r.low.set && r.high.set && r.low.number == r.high.number)
        return std::fabs(v - r.low.number) <= widen;
    if (r.low.set && !(v > r.low.number - widen)) return false;
    if (r.high.set && !(v < r.high.number + widen)) return false;
    return true;
}

bool in_text_range(const Range& r, std::string_view v) {
    if (r.low.set && v < std::string_view(r.low.text)) return false;
    if (r.high.set && v > std::string_view(r.high.text)) return false;
    return true;
}

class ValueRules {
public:
    ValueRules(const Context& cx, const Frame& frame, std::uint32_t id)
        : rules_(cx.rules), item_(cx.rules.items[id]), options_(cx.options), type_(&item_.type) {
        fold_enum_ = options_.ignore_case && item_.compare == Compare::Exact &&
                     rules_.dictionaries[item_.dict].ddl == Ddl::Ddl1;
        resolve_implied(frame);
        // A range of 0 and no upper end, inclusive and not widened (DDL1's
        // many 0.0: ranges), needs no value worked out.
        if (item_.ranges.size() == 1 && !item_.su_widens_range) {
            const Range& r = item_.ranges[0];
            nonnegative_ =
                r.low.set && !r.low.is_text && r.low.number == 0.0 && !r.high.set && !r.exclusive;
        }
        // Most columns need only their construct: a single value passes when
        // it matches (no enumeration, range or su rule to apply besides).
        const bool single =
            item_.container == Container::Single || item_.container == Container::Multiple;
        if (single && item_.enum_keys.empty() && item_.ranges.empty() &&
            item_.su != SuPolicy::Forbidden && type_ == &item_.type) {
            if (item_.pattern != kNone && rules_.patterns[item_.pattern].ok())
                quick_ = &rules_.patterns[item_.pattern];
            else if (item_.pattern == kNone && item_.type.any())
                anything_ = true;
        }
        // Numbers of one numeric kind, at most with a range that the sign
        // decides: the value's number grammar alone.
        if (single && item_.enum_keys.empty() && (item_.ranges.empty() || nonnegative_) &&
            item_.su != SuPolicy::Forbidden && type_ == &item_.type && item_.pattern == kNone &&
            item_.type.sequence.empty() && item_.type.alternatives.size() == 1 &&
            is_numeric(item_.type.alternatives[0])) {
            numeric_ = item_.type.alternatives[0];
            quick_number_ = true;
        }
    }

    // A single value of a numeric item certainly passes (quick_number()).
    bool quick_number() const noexcept { return quick_number_; }
    // Of a quick_number() item: any number (DDL1 numb, Real), and whether
    // only the sign of one can fail (a range of 0 and up).
    bool any_number() const noexcept {
        return numeric_ == Contents::Number || numeric_ == Contents::Real;
    }
    bool nonnegative() const noexcept { return nonnegative_; }
    // A number of 0 and up (-0 counts).
    static bool nonnegative_number(std::string_view v) noexcept {
        return is_number(v) && (v.front() != '-' || !mantissa_nonzero(v));
    }
    bool number_passes(std::string_view v) const noexcept {
        if (any_number()) return nonnegative_ ? nonnegative_number(v) : is_number(v);
        const NumberShape s = number_shape(v);
        if (!s.number) return false;
        if (numeric_ != Contents::Number && numeric_ != Contents::Real &&
            !matches_contents(numeric_, v, s))
            return false;
        return !nonnegative_ || v.front() != '-' || s.zero;
    }

    // Single values that match the construct certainly pass (nothing else
    // to apply): the construct, or none when `anything()`.
    const Pattern* quick_pattern() const noexcept { return quick_; }
    bool anything() const noexcept { return anything_; }

    bool check_scalar(std::string_view v, std::size_t position, Failure& f) {
        // The value's number grammar, worked out once if at all.
        NumberShape shape_value;
        bool shaped = false;
        const auto shape = [&]() -> const NumberShape& {
            if (!shaped) {
                shape_value = number_shape(v);
                shaped = true;
            }
            return shape_value;
        };
        // Form.
        if (item_.pattern != kNone) {
            const Pattern& p = rules_.patterns[item_.pattern];
            if (p.ok() && !p.full_match(v)) {
                f = {Code::Type, Check::Construct,
                     shown(v) + " does not match type " + describe_type(item_) + " (" + p.source() +
                         ")",
                     std::string(v)};
                return false;
            }
        } else if (!type_->any() && !type_->matches(v, position, &shape())) {
            f = {Code::Type, Check::Type, shown(v) + " is not of type " + type_label(),
                 std::string(v)};
            return false;
        }
        NumberResult n;
        bool parsed = false;
        const auto number = [&]() -> const NumberResult& {
            if (!parsed) {
                n = parse_number(v);
                parsed = true;
            }
            return n;
        };
        if (item_.su == SuPolicy::Forbidden && v.find('(') != std::string_view::npos &&
            shape().has_su) {
            f = {Code::Su, Check::Su,
                 shown(v) + " has a standard uncertainty, which " + item_.name + " does not take",
                 std::string(v)};
            return false;
        }
        if (!item_.enum_keys.empty() && !permitted(v)) {
            f = {Code::Enumeration, Check::Enumeration,
                 shown(v) + " is not a permitted value (" + permitted_list() + ")", std::string(v)};
            return false;
        }
        if (nonnegative_) {
            // [0, ...) alone: the sign decides, no value needed.
            const NumberShape& s = shape();
            if (s.number && (v.front() != '-' || s.zero)) return true;
        }
        if (!item_.ranges.empty()) {
            bool ok = false, applies = false;
            for (const Range& r : item_.ranges) {
                if (r.low.is_text || r.high.is_text) {
                    applies = true;
                    ok = ok || in_text_range(r, v);
                } else if (number().status == NumberStatus::number) {
                    applies = true;
                    const double widen = item_.su_widens_range && number().has_su
                                             ? options_.su_multiplier * number().su
                                             : 0.0;
                    ok = ok || in_range(r, number().value, widen);
                }
            }
            if (applies && !ok) {
                f = {Code::Range, Check::Range,
                     shown(v) + " is outside the permitted range " + describe_ranges(item_.ranges),
                     std::string(v)};
                return false;
            }
        }
        return true;
    }

    bool check_compound(const NodeStore& nodes, std::size_t root, Failure& f) {
        const Node head = nodes[root];
        const Container c = item_.container;
        const bool wants_list =
            c == Container::List || c == Container::Array || c == Container::Matrix;
        if (c == Container::Single) {
            if (head.kind == NodeKind::List && dimension_list(nodes, root)) return true;
            f = {Code::Container,
                 Check::Container,
                 std::string("a ") + (head.kind == NodeKind::List ? "list" : "table") + " where " +
                     item_.name + " takes a single value",
                 {}};
            return false;
        }
        if ((wants_list && head.kind != NodeKind::List) ||
            (c == Container::Table && head.kind != NodeKind::Table)) {
            f = {Code::Container,
                 Check::Container,
                 std::string("a ") + (head.kind == NodeKind::List ? "list" : "table") + " where " +
                     item_.name + " takes a " + std::string(container_name(c)),
                 {}};
            return false;
        }
        Walker w{*this, f};
        walk_value(nodes, root, w);
        return !w.failed;
    }

    // A single value where the container wants a list or table.
    bool scalar_allowed(Failure& f) const {
        const Container c = item_.container;
        if (c == Container::Single || c == Container::Multiple) return true;
        f = {Code::Container,
             Check::Container,
             "a single value where " + item_.name + " takes a " + std::string(container_name(c)),
             {}};
        return false;
    }

private:
    // Visits the elements of a list or table value: dimensions per level,
    // then each scalar as a value of the item.
    struct Walker {
        ValueRules& rules;
        Failure& f;
        bool failed = false;
        std::size_t depth = 0;
        std::size_t position = 0;  // of the next element in its list

        bool fail(std::string message) {
            f = {Code::Container, Check::Dimension, std::move(message), {}};
            failed = true;
            return false;
        }
        bool open(NodeKind kind, std::uint64_t count) {
            const ItemRule& item = rules.item_;
            if (kind == NodeKind::Table && depth > 0 && item.container != Container::Table &&
                item.elements != Container::Table)
                return fail("a table inside the list of " + item.name);
            if (kind == NodeKind::List && depth > 0 && item.elements == Container::Table)
                return fail("a list inside the list of tables of " + item.name);
            if (item.has_dimension && kind == NodeKind::List) {
                if (depth >= item.dimension.size())
                    return fail("lists nested deeper than the dimension of " + item.name +
                                " allows");
                const std::int64_t want = item.dimension[depth];
                if (want >= 0 && static_cast<std::uint64_t>(want) != count)
                    return fail("a list of " + std::to_string(count) + " element" +
                                (count == 1 ? "" : "s") + " where " + item.name + " takes " +
                                std::to_string(want));
            }
            ++depth;
            return true;
        }
        bool close(NodeKind) {
            --depth;
            return true;
        }
        bool element(bool, std::uint64_t index, std::string_view) {
            position = static_cast<std::size_t>(index);
            return true;
        }
        bool text(std::string_view t) {
            const ItemRule& item = rules.item_;
            if (item.has_dimension && depth < item.dimension.size() && depth > 0 &&
                item.container != Container::Table)
                return fail("a single element where " + item.name + " takes a list at level " +
                            std::to_string(depth + 1));
            if (t.size() == 1 && (t[0] == '?' || t[0] == '.')) return true;
            Failure inner;
            if (!rules.check_scalar(t, position, inner)) {
                f = std::move(inner);
                f.message = "element " + std::to_string(position + 1) + ": " + f.message;
                failed = true;
                return false;
            }
            return true;
        }
    };

    // [3], [3,3]: a DDLm dimension given as a CIF 2.0 list of counts.
    bool dimension_list(const NodeStore& nodes, std::size_t root) const {
        bool is_dimension = false;
        for (Contents c : type_->alternatives)
            is_dimension = is_dimension || c == Contents::Dimension;
        if (!is_dimension) return false;
        const Node head = nodes[root];
        for (std::uint64_t i = 0; i < head.count; ++i) {
            const Node n = nodes[root + 1 + i];
            if (n.kind != NodeKind::Text || n.text.empty()) return false;
            for (char ch : n.text)
                if (ch < '0' || ch > '9') return false;
        }
        return true;
    }

    std::string type_label() const {
        std::string t = describe_type(item_);
        if (t == "numb") return "numb (a number)";
        return t;
    }

    bool permitted(std::string_view v) {
        if (fold_enum_) {
            for (const std::string& e : item_.enumeration) {
                if (e.size() != v.size()) continue;
                bool same = true;
                for (std::size_t i = 0; i < e.size() && same; ++i)
                    same = ascii::lower(e[i]) == ascii::lower(v[i]);
                if (same) return true;
            }
            return false;
        }
        if (!compare_key(v, item_.compare, key_)) return item_.enum_keys.count(v) != 0;
        return item_.enum_keys.count(key_) != 0;
    }

    std::string permitted_list() const {
        std::string out;
        const auto& e = item_.enumeration;
        constexpr std::size_t kShown = 8;
        for (std::size_t i = 0; i < e.size() && i < kShown; ++i)
            out += (i ? ", " : "") + shown(e[i]);
        if (e.size() > kShown) out += ", ... " + std::to_string(e.size()) + " values";
        return out;
    }

    // An item of `Implied` form takes the form that its save frame's
    // definition gives (_type.contents), as DDLm attributes such as
    // _enumeration.default do.
    void resolve_implied(const Frame& frame) {
        bool implied = false;
        for (Contents c : item_.type.alternatives) implied = implied || c == Contents::Implied;
        if (!implied) return;
        implied_ = TypeSpec{};
        if (const ValueColumn* col = frame.data->find("_type.contents"); col && col->size()) {
            const ValueRef ref = (*col)[0];
            if (!ref.compound) {
                if (auto spec = parse_type_spec(ref.text)) implied_ = std::move(*spec);
            }
        }
        type_ = &implied_;
    }

    const RuleSet& rules_;
    const ItemRule& item_;
    const Options& options_;
    const TypeSpec* type_;
    const Pattern* quick_ = nullptr;
    bool anything_ = false;
    bool nonnegative_ = false;
    bool quick_number_ = false;
    Contents numeric_ = Contents::Number;
    TypeSpec implied_;
    bool fold_enum_ = false;
    std::string key_;
};

}  // namespace

namespace {

bool null_text(std::string_view v) noexcept {
    return v.size() == 1 && (v[0] == '?' || v[0] == '.');
}

// The values of a column of plain scalars that fail `test`, a construct
// tested on the stored text, go to `slow` (with their row), nulls aside.
// The stored text of a quoted "?" or "." is three characters with quotes,
// which no construct passes unless it passes the value itself. Values in a
// row stored as one slice (a copied document refers repeated values to one
// copy) are tested once.
template <class Test, class Slow>
void scan_refs(const RefColumn& refs, Test test, Slow& slow) {
    std::size_t row = 0;
    refs.for_each_slice_run([&](std::string_view v, std::size_t count) {
        if (!test(v) && !null_text(v)) [[unlikely]]
            for (std::size_t k = 0; k < count; ++k) slow(v, row + k);
        row += count;
    });
}

struct Reporter {
    Context& cx;
    const Frame& frame;
    ValueRules& rules;
    std::uint32_t id;
    std::string_view tag;
    bool in_rows;

    // A value that failed the quick test: the full checks, and a finding
    // when they fail too.
    [[gnu::noinline]] void operator()(std::string_view stored, std::size_t row) {
        bool null;
        const std::string_view v = scalar_text(ValueRef{stored}, null);
        Failure f;
        if (null || rules.check_scalar(v, 0, f)) return;
        Finding& out =
            cx.add_for_item(frame, f.code, Severity::Error, std::move(f.message), id, f.check);
        out.tags.emplace_back(tag);
        out.value = f.value.empty() ? std::string(v) : std::move(f.value);
        out.row = in_rows ? static_cast<std::int64_t>(row) : -1;
        out.locate_tag = std::string(tag);
        out.locate_value = true;
    }
};

// Plain scalars against a construct alone: a tight loop per form of the
// construct, and the full checks only for a value that fails it.
void scan_quick(const RefColumn& refs, const Pattern& p, Reporter& slow) {
    switch (p.form()) {
        case Pattern::Form::Table:
            scan_refs(refs, [&](std::string_view v) { return p.table_match(v); }, slow);
            return;
        case Pattern::Form::Int:
            scan_refs(refs, [](std::string_view v) { return scan_int(v); }, slow);
            return;
        case Pattern::Form::PositiveInt:
            scan_refs(refs, [](std::string_view v) { return scan_positive_int(v); }, slow);
            return;
        case Pattern::Form::Float:
            scan_refs(refs, [](std::string_view v) { return scan_float(v); }, slow);
            return;
        case Pattern::Form::General:
            break;
    }
    scan_refs(refs, [&](std::string_view v) { return p.full_match(v); }, slow);
}

}  // namespace

void check_values(Context& cx, const Frame& frame, std::size_t position) {
    const std::uint32_t id = frame.items[position];
    const ValueColumn& col = frame.data->columns[position];
    const std::string_view tag = frame.data->tag_order[position];
    const bool looped = frame.loop_of[position] >= 0;
    ValueRules rules(cx, frame, id);
    std::string_view last_ok, last_stored;
    bool have_last = false;
    const std::size_t n = col.size();
    std::size_t i = 0;
    Failure f;  // written only when a value fails
    if ((rules.anything() || rules.quick_pattern()) && col.side_values().empty()) {
        if (const RefColumn* refs = col.refs_column()) {
            if (rules.anything()) return;  // every scalar passes
            Reporter slow{cx, frame, rules, id, tag, looped || n > 1};
            scan_quick(*refs, *rules.quick_pattern(), slow);
            return;
        }
    }
    if (rules.quick_number() && col.side_values().empty()) {
        if (const RefColumn* refs = col.refs_column()) {
            Reporter slow{cx, frame, rules, id, tag, looped || n > 1};
            // Value by value: numbers seldom repeat a slice, and the test of
            // one costs little more than finding where its run ends.
            std::size_t row = 0;
            const auto scan = [&](auto passes) {
                refs->for_each_slice([&](std::string_view v) {
                    if (!passes(v) && !null_text(v)) [[unlikely]]
                        slow(v, row);
                    ++row;
                });
            };
            // The commonest kinds with their test decided once per column.
            if (!rules.any_number())
                scan([&](std::string_view v) { return rules.number_passes(v); });
            else if (rules.nonnegative())
                scan([](std::string_view v) { return ValueRules::nonnegative_number(v); });
            else
                scan([](std::string_view v) { return is_number(v); });
            return;
        }
    }
    const auto visit = [&](const ValueRef& ref) {
        const std::size_t row = i++;
        bool ok;
        std::string_view v;
        if (ref.compound) {
            ok = rules.check_compound(*ref.compound, ref.root, f);
        } else {
            // Columns repeat values: one that passed just before passes
            // again, at once when stored where that one is.
            if (have_last && ref.text.data() == last_stored.data() &&
                ref.text.size() == last_stored.size())
                return;
            bool null;
            v = scalar_text(ref, null);
            if (null || (have_last && v == last_ok)) return;
            ok = rules.scalar_allowed(f) && rules.check_scalar(v, 0, f);
            if (ok) {
                last_ok = v;
                last_stored = ref.text;
                have_last = true;
            }
        }
        if (ok) return;
        Finding& out =
            cx.add_for_item(frame, f.code, Severity::Error, std::move(f.message), id, f.check);
        out.tags.emplace_back(tag);
        if (!f.value.empty() || (!ref.compound && f.code != Code::Container))
            out.value = f.value.empty() ? std::string(v) : std::move(f.value);
        f = Failure{};
        out.row = looped || n > 1 ? static_cast<std::int64_t>(row) : -1;
        out.locate_tag = std::string(tag);
        out.locate_value = true;
    };
    if (const RefColumn* refs = col.refs_column(); refs && refs->all_slices()) {
        // A run of values stored as one slice: once one of them has passed,
        // the rest pass with it.
        refs->for_each_slice_run([&](std::string_view text, std::size_t count) {
            // A null, or the text of the last value that passed (a column's
            // flags, codes and placeholders), passes without a visit.
            bool null;
            const std::string_view v = scalar_text(ValueRef{text}, null);
            if (null || (have_last && v == last_ok)) {
                i += count;
                return;
            }
            for (std::size_t k = 0; k < count; ++k) {
                if (have_last && text.data() == last_stored.data() &&
                    text.size() == last_stored.size()) {
                    i += count - k;
                    return;
                }
                visit(ValueRef{text});
            }
        });
    } else if (const RefColumn* refs = col.refs_column()) {
        refs->for_each(0, n, visit);
    } else
        for (std::size_t k = 0; k < n; ++k) visit(col[k]);
}

}  // namespace quarzel::validate::detail
