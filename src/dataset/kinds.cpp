#include "dataset/kinds.hpp"

namespace quarzel::dataset {

std::string kinds::letters(std::uint8_t bits) {
    static constexpr char kLetters[] = "NTFSQU";
    std::string out;
    for (int i = 0; i < 6; ++i)
        if (bits & (1u << i)) out.push_back(kLetters[i]);
    return out;
}

ColumnKinds* RunKinds::column(std::string_view table, std::string_view name) {
    std::lock_guard lock(mutex_);
    auto t = tables_.find(table);
    if (t == tables_.end())
        t = tables_.emplace(std::string(table), TextMap<std::unique_ptr<ColumnKinds>>()).first;
    auto c = t->second.find(name);
    if (c != t->second.end()) return c->second.get();
    auto made = std::make_unique<ColumnKinds>();
    if (auto s = seeds_.find(std::string(table)); s != seeds_.end())
        if (auto b = s->second.find(std::string(name)); b != s->second.end())
            made->bits = static_cast<std::uint8_t>(b->second & ~kinds::kUnseen);
    return t->second.emplace(std::string(name), std::move(made)).first->second.get();
}

}  // namespace quarzel::dataset
