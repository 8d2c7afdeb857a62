// The picture `kandrel-run --plot` draws of a recording: every route in its
// own colour with a legend entry, the round-trip times over one shared time
// axis, their cumulative distribution, and per route the histogram of
// --summary's bins; round trips that waited out or never reached their hop
// are marked apart from the measurements. One self-contained SVG document
// (no scripts, no links, no fonts or images from elsewhere).
#pragma once

#include <string>
#include <vector>

#include "recording_reader.hh"

namespace launcher {

std::string plot_svg(const std::vector<round_trip_record> &records);

}  // namespace launcher
