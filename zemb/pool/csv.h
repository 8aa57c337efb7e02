// CSV as a spreadsheet writes and reads it: fields quoted when they hold a
// comma, a quote or a line end, quotes doubled inside.
#pragma once

#include <string>
#include <vector>

namespace zemb {

std::string CsvField(const std::string& field);
std::string CsvRow(const std::vector<std::string>& fields);  // no line end
// Splits one line (without its line end). *complete is false when a quoted
// field is still open at its end.
std::vector<std::string> SplitCsvRow(const std::string& line, bool* complete = nullptr);

}  // namespace zemb
