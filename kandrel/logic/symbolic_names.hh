// Symbolic names of address families, socket types, protocols, option
// levels and option names, for the trace lines.
#pragma once

// Which table int2name looks in.
enum name_kind { kind_family = 1, kind_type = 2, kind_protocol = 3 };

// Names a family (kind 1), type (kind 2) or protocol (kind 3); a constant text.
const char *int2name(int kind, int value);

// Names a socket-option level; unknown levels are formatted with their number
// into a buffer of this thread that the next call overwrites.
const char *opt_level(int level);

// Names an option within its level; unknown options at a known level are
// formatted with their number into a buffer of this thread.
const char *opt_name(int level, int optname);
