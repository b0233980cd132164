// SPDX-License-Identifier: MIT
// What a message box of the program shows, whichever toolkit draws it: the
// title (kProgramName), the text, an OK button, no icon, modal to the update
// dialog; and, behind a "Show Details..." button, the details: the lines the
// libraries wrote during the update, then the reason the update itself knows.
//
// The details pane is made large enough to read them at a glance: wide
// enough for the longest line and tall enough for every line, up to a limit
// beyond which it scrolls. Faces show the details in a fixed-pitch font, so
// that a column is one character cell.
#pragma once

#include <string>
#include <string_view>

namespace wizard {

// The details of a box: what the libraries wrote on standard output, then on
// standard error, during this update (empty when nothing was captured), then
// the update's own reason (lines ending in a line feed, or empty).
std::string messageDetails(std::string_view outputLines, std::string_view errorLines, std::string_view reason);

// Size of a details pane in character cells of a fixed-pitch font.
struct TextArea {
    int columns;
    int lines;
    bool operator==(const TextArea &) const = default;
};

// The pane's limits: a line longer than the most columns wraps (a box fits
// on any screen), beyond the most lines the pane scrolls. The least size
// keeps a one-line detail from making a sliver of a pane.
inline constexpr TextArea kDetailsMinArea{40, 3};
inline constexpr TextArea kDetailsMaxArea{80, 20};

// The pane that shows `details` whole: columns for its longest line (in
// characters, not bytes), lines for all its lines, a longer one counted as
// the pane wraps it (at the blank before a word that would pass the edge; a
// word longer than a row wherever the edge falls), each within the limits
// above. A last line feed ends the last line; it starts none, and the pane
// shows no empty line after it.
TextArea detailsArea(std::string_view details);

}  // namespace wizard
