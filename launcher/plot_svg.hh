// The picture `kandrel-run --plot` draws of a recording: per route, the
// round-trip times over the run and their histogram, as one self-contained
// SVG document (no scripts, no links, no fonts or images from elsewhere).
#pragma once

#include <string>
#include <vector>

#include "recording_reader.hh"

namespace launcher {

std::string plot_svg(const std::vector<route_round_trips> &routes);

}  // namespace launcher
