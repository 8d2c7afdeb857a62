// The library's side of the relay's control socket: one short-lived
// connection per message, so threads, fork and signal handlers share
// nothing.
#pragma once

#include "path_relay_protocol.hh"

struct rtbl_ent;

// A control connection to the relay the environment names, or -1.
int open_control();

// A registration of kind carrying route's hop and words and this process.
path_registration registration_for(const rtbl_ent &route, path_message kind);
