#include "ui/merge_order.h"

#include <algorithm>

namespace ui {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

unsigned char folded(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

// The end of the run of digits that begins at `at`.
std::size_t digitsEnd(std::string_view s, std::size_t at) {
    while (at < s.size() && isDigit(s[at])) {
        ++at;
    }
    return at;
}

}  // namespace

bool naturalLess(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // By value: leading zeros skipped, then the longer number is the larger.
            std::size_t si = i;
            std::size_t sj = j;
            while (si + 1 < a.size() && a[si] == '0' && isDigit(a[si + 1])) {
                ++si;
            }
            while (sj + 1 < b.size() && b[sj] == '0' && isDigit(b[sj + 1])) {
                ++sj;
            }
            const std::size_t ei = digitsEnd(a, si);
            const std::size_t ej = digitsEnd(b, sj);
            if (ei - si != ej - sj) {
                return ei - si < ej - sj;
            }
            if (const int c = a.substr(si, ei - si).compare(b.substr(sj, ej - sj)); c != 0) {
                return c < 0;
            }
            i = ei;
            j = ej;
            continue;
        }
        const unsigned char fa = folded(a[i]);
        const unsigned char fb = folded(b[j]);
        if (fa != fb) {
            return fa < fb;
        }
        ++i;
        ++j;
    }
    if (i == a.size() && j == b.size()) {
        return a < b;
    }
    return i == a.size();
}

std::vector<std::uint32_t> previewOrder(const fs::MergePlan& plan) {
    // The files of one folder lie together in the plan, their folder's path one string.
    struct Run {
        std::string_view folder;
        std::uint32_t first;
        std::uint32_t end;
    };
    std::vector<Run> runs;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const std::string_view folder = plan.at(i).folder;
        if (runs.empty() || runs.back().folder.data() != folder.data()) {
            runs.push_back({folder, static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i)});
        }
        runs.back().end = static_cast<std::uint32_t>(i + 1);
    }
    std::stable_sort(runs.begin(), runs.end(),
                     [](const Run& x, const Run& y) { return naturalLess(x.folder, y.folder); });
    std::vector<std::uint32_t> order;
    order.reserve(plan.size());
    for (const Run& run : runs) {
        const auto from = static_cast<std::ptrdiff_t>(order.size());
        for (std::uint32_t i = run.first; i < run.end; ++i) {
            order.push_back(i);
        }
        std::sort(order.begin() + from, order.end(), [&plan](std::uint32_t x, std::uint32_t y) {
            return naturalLess(plan.nameAt(x), plan.nameAt(y));
        });
    }
    return order;
}

}  // namespace ui
