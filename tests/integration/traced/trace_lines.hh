// The trace lines the library must write, built from the values a scenario
// reports. Each function gives the complete text of one traced call: the
// line before the underlying call and the line after it.
#pragma once

#include <string>

namespace trace {

// printf into a string.
std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

// A number as the lines print it; lengths the trace could not read are
// passed as the text "(null)" instead.
std::string num(long value);
inline const char *const null_text = "(null)";

// The route-table load that the first socket() of a process starts, with no
// route file named.
std::string route_load(bool debug);

std::string socket(const std::string &family, const std::string &type, const std::string &protocol, long result);
std::string socketpair(const std::string &domain, const std::string &type, const std::string &protocol, long result,
                       const std::string &sv0, const std::string &sv1);
std::string listen(long s, long backlog, long result);
std::string shutdown(long s, const std::string &how, long result);
std::string getsockopt(long s, const std::string &level, const std::string &optname, const std::string &optval,
                       const std::string &optlen, long result);
std::string setsockopt(long s, const std::string &level, const std::string &optname, const std::string &optval,
                       long optlen, long result);
std::string bind(long s, const std::string &name, long namelen, long result);
std::string accept(long s, const std::string &addrlen_before, long result, const std::string &addr,
                   const std::string &addrlen_after);
std::string getpeername(long s, const std::string &namelen_before, long result, const std::string &name,
                        const std::string &namelen_after);
std::string getsockname(long s, const std::string &namelen_before, long result, const std::string &name,
                        const std::string &namelen_after);
std::string close(long result);
std::string select(long result);

// Two-piece lines: the first piece is on the stream while the call blocks.
std::string recv_first(long s, const std::string &buf, long len, long flags);
std::string recv(long s, const std::string &buf, long len, long flags, long result);
std::string recvmsg_first(long s, const std::string &msg, long flags);
std::string recvmsg(long s, const std::string &msg, long flags, long result);
std::string second_piece(long result);

// recvfrom writes only while debug is on, each line tested by itself.
std::string recvfrom_called(bool debug);
std::string recvfrom_returning(bool debug);
std::string recvfrom(bool debug);

// The calls that look for a route; these are the lines of a destination no
// route names.
std::string connect(long s, const std::string &name, long namelen, long result, bool debug);
std::string send(long s, const std::string &msg, long len, long flags, long result);
std::string sendto(long result, bool debug);
std::string sendmsg(long s, const std::string &msg, long flags, long result);
std::string write(bool debug);

}  // namespace trace
