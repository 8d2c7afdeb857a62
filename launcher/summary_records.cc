// Reads the times out of timelog and tavik.time text.
#include "summary_records.hh"

#include <charconv>

#include "text_lines.hh"

namespace launcher {
namespace {

// A decimal number, optionally negative, that fills `text` exactly. The
// library writes its byte counts and milliseconds as 64-bit numbers, so a
// record of a send beyond 2 GiB is still one of its lines.
std::optional<long> whole_number(std::string_view text)
{
    long value = 0;
    const char *end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return value;
}

// Takes `suffix` off the end of `text`; false when it is not there.
bool remove_suffix(std::string_view &text, std::string_view suffix)
{
    if (!text.ends_with(suffix)) {
        return false;
    }
    text.remove_suffix(suffix.size());
    return true;
}

}  // namespace

std::optional<long> timelog_ms(std::string_view line)
{
    constexpr std::string_view middle = " bytes ";
    if (!remove_suffix(line, " ms")) {
        return std::nullopt;
    }
    auto at = line.find(middle);
    if (at == std::string_view::npos || !whole_number(line.substr(0, at))) {
        return std::nullopt;
    }
    return whole_number(line.substr(at + middle.size()));
}

std::optional<long> tavik_time_ms(std::string_view line)
{
    if (!remove_suffix(line, ". ms")) {
        return std::nullopt;
    }
    auto tab = line.rfind('\t');
    if (tab == std::string_view::npos) {
        return std::nullopt;
    }
    return whole_number(line.substr(tab + 1));
}

timing_records read_timing_records(std::string_view text)
{
    timing_records records;
    for_each_line(text, [&](std::string_view line) {
        if (line.empty()) {
            return true;
        }
        if (auto ms = timelog_ms(line)) {
            records.ms.push_back(*ms);
            ++records.timelog_lines;
        } else if (auto ms = tavik_time_ms(line)) {
            records.ms.push_back(*ms);
            ++records.tavik_time_lines;
        } else {
            ++records.other_lines;
        }
        return true;
    });
    return records;
}

}  // namespace launcher
