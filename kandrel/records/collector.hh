// The run's collector (kandrel-run sets KANDREL_COLLECTOR): when it is named,
// every record and, when the trace file cannot be opened where kandrel-run
// checked it, the trace go to it as messages instead of into files this
// process opens, so that a process that changed directory, chrooted or
// dropped privileges still lands its records in the run's files. The bare
// library (no KANDREL_COLLECTOR) writes its files.
#pragma once

#include <cstddef>

#include "collector_message.hh"

// Whether the environment names a collector; read once, on first use.
bool collector_named();

// Connects this process to the collector, if it is not yet; false when the
// collector cannot be reached. Each process of the run has a connection of
// its own, which is how kandrel-run counts them.
bool connect_to_collector();

// Sends kind and text, then more (if any), as one message; text too long for
// one message (trace text) goes in pieces. While the collector is behind, the
// send waits. False when the collector cannot be reached.
bool send_to_collector(collector_kind kind, const char *text, std::size_t length, const char *more = nullptr,
                       std::size_t more_length = 0);
