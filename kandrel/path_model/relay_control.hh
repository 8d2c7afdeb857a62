// The library's side of the relay's control socket: one short-lived
// connection per message, so threads, fork and signal handlers share
// nothing.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>

#include "loopback_address.hh"
#include "path_relay_protocol.hh"

struct rtbl_ent;

// A control connection to the relay the environment names, or -1.
int open_control();

// A registration of kind carrying route's hop and words and this process.
path_registration registration_for(const rtbl_ent &route, path_message kind);

// How long the relay may take to answer a message (it answers at once).
constexpr int relay_patience_ms = 2000;

bool has_no_delay(int s);

// The socket's local port, bound to an ephemeral loopback port first when it
// has none: the relay knows the program's connection by it. 0 on failure.
std::uint16_t local_port(int s, int family);

// The relay's next answer of kind on control, waiting at most patience_ms
// (-1: for ever, as a blocking connect waits for its handshake).
bool await_answer(int control, path_answer_kind kind, int patience_ms, path_answer &answer);

// Sends parts on control with descriptor passed along with them
// (SCM_RIGHTS); what sendmsg returned.
ssize_t send_with_descriptor(int control, iovec *parts, std::size_t count, int passed);

// A message of kind about the program's socket s, known to the relay by
// its local port and family.
bool message_about(int s, path_message kind, path_registration &message);

// Sends message on a control connection of its own and waits for the
// relay's answer of kind.
bool exchange(const path_registration &message, path_answer_kind kind, path_answer &answer);
