#pragma once

// The order the merge preview shows a plan in: folders and names as people count, "IMG_2"
// before "IMG_10". The plan keeps its own order, which the run and its journal follow.

#include <cstdint>
#include <string_view>
#include <vector>

#include "fs/merge/merge.h"

namespace ui {

// Whether `a` comes before `b`: runs of digits by their value, other bytes ignoring ASCII case;
// names alike so far by their raw bytes, so that the order is total.
bool naturalLess(std::string_view a, std::string_view b);

// The plan's file indices in the preview's order: folders by their path, files of a folder by
// their name, both naturally. Made on a worker: a million rows take a while.
std::vector<std::uint32_t> previewOrder(const fs::MergePlan& plan);

}  // namespace ui
