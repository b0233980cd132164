// SPDX-License-Identifier: MIT
#include "message_box.h"

#include <algorithm>
#include <vector>

namespace wizard {

namespace {

// Characters of UTF-8 text: every byte but the continuation bytes.
int characters(std::string_view text) {
    return static_cast<int>(std::count_if(text.begin(), text.end(), [](char byte) { return (byte & 0xC0) != 0x80; }));
}

// The rows `line` takes in a pane of `columns`, wrapped as a text pane wraps
// it: at the blank before a word that would pass the edge, and a word longer
// than a whole row wherever the edge falls.
int rows(std::string_view line, int columns) {
    int rows = 1;
    int used = 0;  // characters on the current row
    for (size_t start = 0; start <= line.size();) {
        const size_t end = std::min(line.find(' ', start), line.size());
        int word = characters(line.substr(start, end - start));
        if (used > 0 && used + 1 + word > columns) {
            ++rows;
            used = 0;
        } else if (used > 0) {
            ++used;  // the blank before the word
        }
        while (used + word > columns) {
            word -= columns - used;
            ++rows;
            used = 0;
        }
        used += word;
        start = end + 1;
    }
    return rows;
}

}  // namespace

std::string messageDetails(std::string_view outputLines, std::string_view errorLines, std::string_view reason) {
    std::string details;
    details.reserve(outputLines.size() + errorLines.size() + reason.size());
    details.append(outputLines).append(errorLines).append(reason);
    return details;
}

TextArea detailsArea(std::string_view details) {
    if (!details.empty() && details.back() == '\n') details.remove_suffix(1);
    std::vector<std::string_view> lines;
    for (size_t start = 0;;) {
        const size_t end = details.find('\n', start);
        lines.push_back(details.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    int longest = 0;
    for (std::string_view line : lines) longest = std::max(longest, characters(line));
    const int columns = std::clamp(longest, kDetailsMinArea.columns, kDetailsMaxArea.columns);
    int total = 0;
    for (std::string_view line : lines) total += rows(line, columns);
    return {columns, std::clamp(total, kDetailsMinArea.lines, kDetailsMaxArea.lines)};
}

}  // namespace wizard
