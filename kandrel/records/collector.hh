// The run's collector (kandrel-run sets KANDREL_COLLECTOR): when it is named,
// every record and, with a trace file, the trace go to it as datagrams
// instead of into files this process opens, so that a process that changed
// directory, chrooted or dropped privileges still lands its records in the
// run's files. The bare library (no KANDREL_COLLECTOR) writes its files.
#pragma once

#include <cstddef>

#include "collector_datagram.hh"

// Whether the environment names a collector; read once, on first use.
bool collector_named();

// Sends kind and text as one datagram (longer text in pieces), waiting while
// the collector catches up; false when it cannot be reached.
bool send_to_collector(collector_kind kind, const char *text, std::size_t length);
