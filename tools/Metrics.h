#pragma once

#include <string>
#include <vector>

namespace IdxTool {

struct Console;

// The Prometheus text exposition format (version 0.0.4) of every report in each
// of `directories`: job statistics per host and job type, every disk-samples
// file, and the health of every report file. Appends to `text`. Returns false
// when a directory could not be listed; its reason is on the console's error
// stream and the text says so (idxreports_directory_readable 0), so that a
// published file still tells the story.
bool CollectMetrics(const Console& console, const std::vector<std::string>& directories, std::string& text);

// A label value as the exposition format writes it between its double quotes:
// backslash, double quote and line feed escaped. The format takes UTF-8 only,
// so a byte that is not part of valid UTF-8 is written as the four characters
// \xNN (the backslash itself escaped) and `altered` is set.
//   a"b\c      ->  a\"b\\c
//   host<FF>   ->  host\\xff
std::string LabelValue(const std::string& value, bool& altered);

}  // namespace IdxTool
