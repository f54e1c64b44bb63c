// Names and the map are bytes without a character set: how they are written into CSV and HTML (JSON
// shows them as core::utf8_text does).
#pragma once

#include <string>
#include <string_view>

namespace quarel::score {

// One CSV cell: the text as core::utf8_text shows it; a cell a spreadsheet would take for a formula (it begins with =, +,
// -, @, a tab or a carriage return) is led by an apostrophe; a cell holding a comma, a quote or a line
// end goes in quotes, its quotes doubled.
std::string csv_cell(std::string_view bytes);

// Text for HTML, as text: & < > " ' written as references.
std::string html_text(std::string_view utf8);

}  // namespace quarel::score
