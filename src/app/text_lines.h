#pragma once
#include <string_view>
#include <vector>

namespace tarnwick {

// Lines split at CR LF, CR or LF. A break at the very end opens no new line.
std::vector<std::string_view> SplitLines(std::string_view text);

}  // namespace tarnwick
