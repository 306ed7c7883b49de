#include "core/unicode.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace core {

namespace {

struct CombiningRange {
    char32_t first, last;
    unsigned char value;
};
struct Decomposition {
    char32_t character, first, second;  // second: 0 for none
    bool composes;                      // a primary composite: NFC makes it again
};
struct CodeRange {
    char32_t first, last;
};

#include "core/unicode_tables.inc"

// Hangul syllables are composed and decomposed by rule, not by table.
constexpr char32_t kSBase = 0xAC00, kLBase = 0x1100, kVBase = 0x1161, kTBase = 0x11A7;
constexpr char32_t kLCount = 19, kVCount = 21, kTCount = 28, kNCount = kVCount * kTCount,
                   kSCount = kLCount * kNCount;

template <class Range>
const Range* findRange(const Range* begin, const Range* end, char32_t c) {
    const Range* it =
        std::upper_bound(begin, end, c, [](char32_t v, const Range& r) { return v < r.first; });
    return it != begin && c <= (it - 1)->last ? it - 1 : nullptr;
}

int combiningClass(char32_t c) {
    if (c < 0x300 || c == kNotACharacter) {
        return 0;
    }
    const CombiningRange* r = findRange(std::begin(kCombining), std::end(kCombining), c);
    return r != nullptr ? r->value : 0;
}

bool maybeUnstable(char32_t c) {
    return c >= 0x300 && c != kNotACharacter &&
           findRange(std::begin(kMaybeUnstable), std::end(kMaybeUnstable), c) != nullptr;
}

const Decomposition* decompositionOf(char32_t c) {
    const auto* end = std::end(kDecompositions);
    const auto* it =
        std::lower_bound(std::begin(kDecompositions), end, c,
                         [](const Decomposition& d, char32_t v) { return d.character < v; });
    return it != end && it->character == c ? it : nullptr;
}

void decompose(char32_t c, std::u32string& out) {
    if (c >= kSBase && c < kSBase + kSCount) {
        const char32_t s = c - kSBase;
        out += kLBase + s / kNCount;
        out += kVBase + (s % kNCount) / kTCount;
        if (s % kTCount != 0) {
            out += kTBase + s % kTCount;
        }
        return;
    }
    if (const Decomposition* d = decompositionOf(c)) {
        decompose(d->first, out);
        if (d->second != 0) {
            decompose(d->second, out);
        }
        return;
    }
    out += c;
}

// The primary composite of `a` and `b`, or 0.
char32_t compose(char32_t a, char32_t b) {
    if (a >= kLBase && a < kLBase + kLCount && b >= kVBase && b < kVBase + kVCount) {
        return kSBase + ((a - kLBase) * kVCount + (b - kVBase)) * kTCount;
    }
    if (a >= kSBase && a < kSBase + kSCount && (a - kSBase) % kTCount == 0 && b > kTBase &&
        b < kTBase + kTCount) {
        return a + (b - kTBase);
    }
    struct Pair {
        char32_t first, second, composite;
    };
    static const std::vector<Pair> pairs = [] {
        std::vector<Pair> all;
        for (const Decomposition& d : kDecompositions) {
            if (d.composes) {
                all.push_back({d.first, d.second, d.character});
            }
        }
        std::sort(all.begin(), all.end(), [](const Pair& x, const Pair& y) {
            return x.first != y.first ? x.first < y.first : x.second < y.second;
        });
        return all;
    }();
    const auto it = std::lower_bound(
        pairs.begin(), pairs.end(), Pair{a, b, 0}, [](const Pair& x, const Pair& y) {
            return x.first != y.first ? x.first < y.first : x.second < y.second;
        });
    return it != pairs.end() && it->first == a && it->second == b ? it->composite : 0;
}

}  // namespace

std::u32string toNfc(std::u32string_view text) {
    std::u32string d;
    d.reserve(text.size());
    for (const char32_t c : text) {
        decompose(c, d);
    }
    // Canonical order: each run of marks sorted by class, stably.
    for (std::size_t i = 1; i < d.size(); ++i) {
        for (std::size_t j = i; j > 0; --j) {
            const int here = combiningClass(d[j]);
            if (here == 0 || combiningClass(d[j - 1]) <= here) {
                break;
            }
            std::swap(d[j - 1], d[j]);
        }
    }
    if (d.empty()) {
        return d;
    }
    // Composition: each character with the last starter, unless a mark of the same or a higher
    // class stands between them.
    std::size_t starter = 0;
    bool haveStarter = combiningClass(d[0]) == 0;
    int lastClass = 0;
    std::size_t kept = 1;
    for (std::size_t i = 1; i < d.size(); ++i) {
        const char32_t c = d[i];
        const int cls = combiningClass(c);
        const char32_t composite = haveStarter ? compose(d[starter], c) : 0;
        if (composite != 0 && (lastClass < cls || lastClass == 0)) {
            d[starter] = composite;
            continue;
        }
        if (cls == 0) {
            starter = kept;
            haveStarter = true;
        }
        lastClass = cls;
        d[kept++] = c;
    }
    d.resize(kept);
    return d;
}

std::vector<bool> charactersOutOfNfc(std::u32string_view text) {
    if (std::none_of(text.begin(), text.end(), maybeUnstable)) {
        return {};
    }
    std::vector<bool> out(text.size(), false);
    bool any = false;
    const auto mark = [&](std::size_t i) { out[i] = any = true; };
    // Segments: a starter and the marks after it; bytes that are not UTF-8 end one.
    std::size_t previous = 0;  // the segment before, when it touches this one
    bool touching = false;
    for (std::size_t start = 0; start < text.size();) {
        if (text[start] == kNotACharacter) {
            ++start;
            touching = false;
            continue;
        }
        std::size_t end = start + 1;
        while (end < text.size() && text[end] != kNotACharacter && combiningClass(text[end]) != 0) {
            ++end;
        }
        const std::u32string_view segment = text.substr(start, end - start);
        const bool hasStarter = combiningClass(segment[0]) == 0;
        // A starter NFC replaces, or one that composes with the segment before it.
        bool starterOut = hasStarter && toNfc(segment.substr(0, 1)) != segment.substr(0, 1);
        if (hasStarter && touching && !starterOut) {
            starterOut = toNfc(text.substr(previous, end - previous)) !=
                         toNfc(text.substr(previous, start - previous)) + toNfc(segment);
        }
        if (toNfc(segment) != segment) {
            bool marks = false;
            for (std::size_t i = start + (hasStarter ? 1 : 0); i < end; ++i) {
                mark(i);
                marks = true;
            }
            starterOut = starterOut || !marks;
        }
        if (starterOut) {
            mark(start);
        }
        previous = start;
        touching = true;
        start = end;
    }
    if (!any) {
        out.clear();
    }
    return out;
}

}  // namespace core
