// Names and the map are bytes without a character set: how they are written into JSON and CSV.
#pragma once

#include <string>
#include <string_view>

namespace quarel::score {

// The bytes as UTF-8: unchanged when they are valid UTF-8, read as Latin-1 otherwise, so that every
// JSON document built from them parses and shows the name a player typed in either.
std::string json_text(std::string_view bytes);

// One CSV cell: json_text's UTF-8; a cell a spreadsheet would take for a formula (it begins with =, +,
// -, @, a tab or a carriage return) is led by an apostrophe; a cell holding a comma, a quote or a line
// end goes in quotes, its quotes doubled.
std::string csv_cell(std::string_view bytes);

// Text for HTML, as text: & < > " ' written as references.
std::string html_text(std::string_view utf8);

}  // namespace quarel::score
