// Expected trace lines, written out from the formats the library promises.
#include "lines.hh"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace lines {

std::string format(const char *pattern, ...)
{
    va_list args;
    va_start(args, pattern);
    va_list again;
    va_copy(again, args);
    int size = std::vsnprintf(nullptr, 0, pattern, args);
    va_end(args);
    std::string text(static_cast<size_t>(size) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), pattern, again);
    va_end(again);
    text.resize(static_cast<size_t>(size));
    return text;
}

std::string num(long value)
{
    return std::to_string(value);
}

std::string first_line(const std::string &text)
{
    return text.substr(0, text.find('\n') + 1);
}

std::string last_line(const std::string &text)
{
    // Some first lines end in "\n ": the blank is theirs, not the last line's.
    return text.substr(text.find_first_not_of(' ', text.rfind('\n', text.size() - 2) + 1));
}

namespace loader {

const std::string timelog_opened = "init_route_tbl()\t:\ttimelog file opened\n";
const std::string no_route_file = "init_route_rbl()\t:\tNo route table file defined\n";
const std::string debug_tail = "init_route_tbl()\t:\tRoute table initialised\n";
const std::string skipped = "init_route_tbl() \t:\tIn loop\n";
const std::string not_mine = "init_route_tbl()\t:\tFrom doesnot match myname\n";
const std::string timelog_unopenable = "error in opening timelog file \n";

std::string debug_head(const std::string &host_name)
{
    return "init_route_tbl()\t:\tRoute Table File read\ninit_route_tbl()\t:\tHostname  " + host_name + "\n";
}

std::string stored(const std::string &from, const std::string &to, const std::string &hop)
{
    return "init_route_tbl()\t:\tFrom matches myname\n"
           "init_route_tbl()\t:\tAdded route (" + from + ")=>(" + to + ") : (" + hop + ")\n";
}

std::string stored_debug(const std::string &from, const std::string &to, const std::string &hop, int protocol)
{
    return stored(from, to, hop) + "init_route_tbl()\t:\tfrom_fam = 2, to_fam =2, hop_fam = 2\n" +
           format("init_route_tbl()\t:\tprotocol = %d\n", protocol);
}

std::string unknown_host(const std::string &name)
{
    return "init_route_tbl()\t:\tFrom matches myname\nUnknown host name: " + name + "\n";
}

std::string unopenable(const std::string &path, int error)
{
    return format("init_route_tbl()\t:\tUnable to open route table file %s: error %d\n", path.c_str(), error);
}

const std::string route_file_cut = "init_route_tbl()\t:\troute file read only to its first 16 MiB\n";

std::string cannot_replay(const std::string &path, const std::string &why)
{
    return "init_route_tbl()\t:\tcannot replay " + path + ": " + why + "\n";
}

}  // namespace loader

std::string memory_read_directly(const std::string &why)
{
    return "copy_from_program()\t:\tprocess_vm_readv refused (" + why +
           "): the program's memory is read directly, and a bad pointer may now crash it\n";
}

std::string route_load(bool debug)
{
    return loader::timelog_opened + (debug ? loader::no_route_file : "");
}

std::string socket(const std::string &family, const std::string &type, const std::string &protocol, long result)
{
    return format("socket()\t:\tfamily=%s type=%s protocol=%s\n", family.c_str(), type.c_str(), protocol.c_str()) +
           format("socket()\t:\tsocket value = %ld\n", result);
}

std::string tcp_socket(long s)
{
    return socket("AF_INET", "SOCK_STREAM", "IPPROTO_IP", s);
}

std::string udp_socket(long s)
{
    return socket("AF_INET", "SOCK_DGRAM", "IPPROTO_IP", s);
}

std::string socketpair(const std::string &domain, const std::string &type, const std::string &protocol, long result,
                       const std::string &sv0, const std::string &sv1)
{
    return format("socketpair()\t:\tdomain=%s type=%s protocol=%s \n", domain.c_str(), type.c_str(),
                  protocol.c_str()) +
           format("socketpair()\t:\tvalues are %ld(sv[0]=%s sv[1]=%s)\n", result, sv0.c_str(), sv1.c_str());
}

std::string listen(long s, long backlog, long result)
{
    return format("listen()\t:\ts=%ld backlog=%ld \n ", s, backlog) +
           format("listen()\t:\treturn value = %ld\n", result);
}

std::string shutdown(long s, const std::string &how, long result)
{
    return format("shutdown()\t:\ts=%ld how=%s\n ", s, how.c_str()) +
           format("shutdown(0\t:\treturn value = %ld\n", result);
}

std::string getsockopt(long s, const std::string &level, const std::string &optname, const std::string &optval,
                       const std::string &optlen, long result)
{
    return format("getsockopt()\t:\ts=%ld level=%s optname=%s optval=%s *optlen=%s\n", s, level.c_str(),
                  optname.c_str(), optval.c_str(), optlen.c_str()) +
           format("getsockopt()\t:\treturn value = %ld\n", result);
}

std::string setsockopt(long s, const std::string &level, const std::string &optname, const std::string &optval,
                       long optlen, long result)
{
    return format("setsockopt()\t:\ts=%ld level=%s optname=%s optval=%s optlen=%ld\n ", s, level.c_str(),
                  optname.c_str(), optval.c_str(), optlen) +
           format("setsockopt()\t:\treturn value = %ld\n", result);
}

std::string bind(long s, const std::string &name, long namelen, long result)
{
    return format("bind()\t\t:\ts=%ld name=%s namelen=%ld\n", s, name.c_str(), namelen) +
           format("bind()\t\t:\treturn value = %ld\n", result);
}

std::string accept(long s, const std::string &addrlen_before, long result, const std::string &addr,
                   const std::string &addrlen_after)
{
    return format("accept()\t:\ts=%ld *addrlen=%s)\n", s, addrlen_before.c_str()) +
           format("accept()\t:\t%ld(addr=<%s>,*addrlen=%s)\n", result, addr.c_str(), addrlen_after.c_str());
}

namespace {

std::string name_query(const char *call, long s, const std::string &namelen_before, long result,
                       const std::string &name, const std::string &namelen_after)
{
    return format("%s()\t:\ts=%ld *namelen=%s = ", call, s, namelen_before.c_str()) +
           format("%ld(name=%s *namelen=%s)\n", result, name.c_str(), namelen_after.c_str());
}

}  // namespace

std::string getpeername(long s, const std::string &namelen_before, long result, const std::string &name,
                        const std::string &namelen_after)
{
    return name_query("getpeername", s, namelen_before, result, name, namelen_after);
}

std::string getsockname(long s, const std::string &namelen_before, long result, const std::string &name,
                        const std::string &namelen_after)
{
    return name_query("getsockname", s, namelen_before, result, name, namelen_after);
}

std::string bound_on_loopback(long s, const std::string &port)
{
    return bind(s, "127.0.0.1:0", 16, 0) + getsockname(s, "16", 0, "127.0.0.1:" + port, "16");
}

std::string close(long result)
{
    return format("close()\t\t:\t%ld\n", result);
}

std::string select(long result)
{
    return format("select()\t:\t%ld\n", result);
}

std::string recv_first(long s, const std::string &buf, long len, long flags)
{
    return format("recv()\t:\ts=%ld buf=%s len=%ld flags=%ld = ", s, buf.c_str(), len, flags);
}

std::string recv(long s, const std::string &buf, long len, long flags, long result)
{
    return recv_first(s, buf, len, flags) + second_piece(result);
}

std::string recvmsg_first(long s, const std::string &msg, long flags)
{
    return format("recvmsg()\t:\ts=%ld msg=%s flags=%ld = ", s, msg.c_str(), flags);
}

std::string recvmsg(long s, const std::string &msg, long flags, long result)
{
    return recvmsg_first(s, msg, flags) + second_piece(result);
}

std::string second_piece(long result)
{
    return format("%ld\n", result);
}

std::string recvfrom_called(bool debug)
{
    return debug ? "recvfrom()\t:\tRecvfrom called\n" : "";
}

std::string recvfrom_returning(bool debug)
{
    return debug ? "recvfrom()\t:\tReturning from recvfrom\n" : "";
}

std::string recvfrom(bool debug)
{
    return recvfrom_called(debug) + recvfrom_returning(debug);
}

const std::string sock_entry_found = "get_sock_ent()\t:\tEntry found in table\n";

long address_value(const std::string &dotted)
{
    in_addr address{};
    inet_pton(AF_INET, dotted.c_str(), &address);
    return static_cast<int32_t>(ntohl(address.s_addr));
}

std::string lookup(const std::vector<std::string> &visited_to, const std::string &name, bool found)
{
    std::string text;
    for (const auto &to : visited_to) {
        text += format("get_rtbl_ent()\t:\tto=%ld name=%ld\n", address_value(to), address_value(name));
    }
    return found ? text + "get_rtbl_ent()\t:\tEntry found in route table\n" : text;
}

namespace {

// How the debug lines show a route entry's address.
std::string entry_text(long entry)
{
    return entry == 0 ? "0" : format("<entry %ld>", entry);
}

}  // namespace

std::string connect_named(long s, const std::string &name, long namelen)
{
    return format("connect()\t:\ts=%ld name=%s namelen=%ld \n", s, name.c_str(), namelen);
}

std::string connect_returned(long result)
{
    return format("connect()\t:\treturn value = %ld\n", result);
}

std::string connect(long s, const std::string &name, long namelen, long result, bool debug)
{
    std::string named = debug ? "connect()\t:\tTable entry not found\n" + connect_named(s, name, namelen) : "";
    return named + connect_returned(result);
}

std::string send_first(long s, const std::string &msg, long len, long flags)
{
    return format("send()\t\t:\ts=%ld msg=%s len=%ld flags=%ld\n", s, msg.c_str(), len, flags);
}

std::string send_returned(long result)
{
    return format("send()\t\t:\treturn value = %ld\n", result);
}

std::string send(long s, const std::string &msg, long len, long flags, long result)
{
    return send_first(s, msg, len, flags) + send_returned(result);
}

std::string sendto_entry(long entry)
{
    return "sendto() \t:\trtbl_ptr=" + entry_text(entry) + "\n";
}

std::string sendto_returned(long result, bool debug)
{
    return (debug ? "sendto()\t:\tReturning from sendto\n" : "") + format("sendto()\t:\treturn value = %ld\n", result);
}

std::string sendto(long result, bool debug, long entry)
{
    return (debug ? sendto_entry(entry) : "") + sendto_returned(result, debug);
}

std::string sendmsg_first(long s, const std::string &msg, long flags)
{
    return format("sendmsg()\t:\ts=%ld msg=%s flags=%ld\n ", s, msg.c_str(), flags);
}

std::string sendmsg_returned(long result)
{
    return format("sendmsg()\t:\treturn value = %ld\n", result);
}

std::string sendmsg(long s, const std::string &msg, long flags, long result)
{
    return sendmsg_first(s, msg, flags) + sendmsg_returned(result);
}

std::string write(bool debug, long entry)
{
    if (!debug) {
        return "";
    }
    return "write()\t:\twrite called\n" + (entry != 0 ? sock_entry_found : "") + "write()\t:\trtbl_ptr=" +
           entry_text(entry) + "\n";
}

std::string send_via(Via via)
{
    return via == tcp ? "send() \t:\tTCP \n" : "send()\t\t:\tUDP \n";
}

std::string sendto_via(Via via)
{
    return via == tcp ? "sendto()\t:\tTCP \n" : "sendto()\t:\tUDP \n";
}

std::string sendmsg_via(Via via)
{
    return via == tcp ? "sendmsg()\t:\tTCP \n" : "sendmsg()\t:\t UDP \n";
}

namespace {

const std::string tcp_echo_called = "TCPecho()\t:\tTCPecho called \n";

}  // namespace

std::string tcp_echo(bool debug)
{
    return (debug ? tcp_echo_called : "") + "TCPecho()\t:\tTIME=#. ms\n";
}

namespace {

// The debug line of each chunk of a datagram round trip: its length, what
// its receive returned and the running total.
std::string chunk_lines(const char *operation, std::size_t length, const std::vector<long> &chunk_echoes)
{
    std::string text;
    long total = 0;
    for (std::size_t position = 0, chunk = 0; position < length; position += 1024, ++chunk) {
        long len1 = static_cast<long>(std::min<std::size_t>(1024, length - position));
        long c1 = chunk < chunk_echoes.size() ? chunk_echoes[chunk] : len1;
        total += c1;
        text += format("%s()\t:\tlen1=%ld c1=%ld, c=%ld\n", operation, len1, c1, total);
    }
    return text;
}

}  // namespace

std::string udp_echo(const std::string &bytes, const std::string &hop, bool debug,
                     const std::vector<long> &chunk_echoes)
{
    std::string text;
    if (debug) {
        text = "UDPecho()\t:\tUDPEcho called\n" + chunk_lines("UDPecho", bytes.size(), chunk_echoes) +
               "UDPecho()\t:\tReceived from " + hop + "\nUDPecho()\t:\t" + bytes + "\n";
    }
    return text + "UDPecho()\t:\tTIME=#. ms\n";
}

std::string udp_echo1(std::size_t length, bool debug, const std::vector<long> &chunk_echoes)
{
    std::string text;
    if (debug) {
        text = "UDPecho1()\t:\tUDPecho1 called \n" + chunk_lines("UDPecho1", length, chunk_echoes);
    }
    return text + "UDPecho1()\t:\tTIME=#. ms\n";
}

std::string hop_not_reached(const std::string &operation, const std::string &reason)
{
    return operation + "()\t:\thop not reached: " + reason + "\n";
}

namespace {

// A UDPecho of length bytes none of whose chunks could be sent: with debug
// each chunk's line with nothing received, the sender as it was left (no
// datagram came: an address of no family) and the empty echo; then why.
std::string udp_echo_not_reached(std::size_t length, const std::string &reason, bool debug)
{
    std::string text;
    if (debug) {
        text = "UDPecho()\t:\tUDPEcho called\n" +
               chunk_lines("UDPecho", length, std::vector<long>((length + 1023) / 1024, -1)) +
               "UDPecho()\t:\tReceived from AF_UNKNOWN\nUDPecho()\t:\t\n";
    }
    return text + hop_not_reached("UDPecho", reason);
}

}  // namespace

std::string round_trip(const Trip &trip, const std::string &bytes)
{
    if (!trip.unreached.empty()) {
        return trip.via == tcp ? (trip.debug ? tcp_echo_called : "") + hop_not_reached("TCPecho", trip.unreached)
                               : udp_echo_not_reached(bytes.size(), trip.unreached, trip.debug);
    }
    return trip.via == tcp ? tcp_echo(trip.debug) : udp_echo(bytes, trip.hop, trip.debug);
}

std::string routed_send(const Trip &trip, long s, const std::string &bytes)
{
    long length = static_cast<long>(bytes.size());
    return send_first(s, scenario_data, length, 0) + (trip.debug ? sock_entry_found + send_via(trip.via) : "") +
           round_trip(trip, bytes) + send_returned(length);
}

std::string routed_write(const Trip &trip, long s1, const std::string &bytes, long entry)
{
    std::string routing = trip.debug ? write(true, entry) + format("write()\t:\ts1=%ld\n", s1) : "";
    return routing + (trip.via == tcp ? tcp_echo(trip.debug) : udp_echo1(bytes.size(), trip.debug));
}

std::string routed_sendto(const Trip &trip, const std::string &lookup_lines, const std::string &bytes,
                          bool over_hop_socket, long entry)
{
    std::string routing;
    if (trip.debug) {
        routing = lookup_lines + sendto_entry(entry) + sendto_via(trip.via);
        if (trip.via == udp) {
            routing += over_hop_socket ? "sendto()\t:\ts1!=0\n" : "sendto()\t:\ts1=0\n";
        }
    }
    return routing + round_trip(trip, bytes) + sendto_returned(static_cast<long>(bytes.size()), trip.debug);
}

std::string routed_sendmsg(const Trip &trip, long s, const std::string &lookup_lines, const std::string &bytes)
{
    std::string text = sendmsg_first(s, scenario_header, 0);
    if (trip.debug) {
        text += lookup_lines + sendmsg_via(trip.via);
    }
    if (trip.via == udp) {
        text += udp_echo(bytes, trip.hop, trip.debug);
    }
    return text + sendmsg_returned(static_cast<long>(bytes.size()));
}

std::string routed_connect(const Trip &trip, const std::string &lookup_lines, long s, const std::string &name,
                           long s1, long result)
{
    std::string binding;
    if (trip.debug) {
        binding = lookup_lines;
        binding += trip.via == tcp
                       ? format("connect() \t:\tTCP to \nconnect()\t:\ts1=%ld name=%s namelen=16 \n ", s1,
                                trip.hop.c_str())
                       : format(" connect() \t:\tUDP \nconnect()\t:\ts1=%ld name=%s namelen=16\n ", s1,
                                trip.hop.c_str());
        binding += connect_named(s, name, 16);
    }
    return binding + connect_returned(result);
}

std::string writev_first(long s, const std::string &iov, long iovcnt)
{
    return format("writev()\t:\ts=%ld iov=%s iovcnt=%ld\n", s, iov.c_str(), iovcnt);
}

std::string sendfile_first(long out, long in, long count)
{
    return format("sendfile()\t:\tout=%ld in=%ld count=%ld\n", out, in, count);
}

std::string sendmmsg_first(long s, const std::string &msgvec, long vlen, long flags)
{
    return format("sendmmsg()\t:\ts=%ld msgvec=%s vlen=%ld flags=%ld\n", s, msgvec.c_str(), vlen, flags);
}

std::string splice_first(long in, long out, long len, long flags)
{
    return format("splice()\t:\tin=%ld out=%ld len=%ld flags=%ld\n", in, out, len, flags);
}

std::string returned(const std::string &call, long result)
{
    return format("%s()\t:\treturn value = %ld\n", call.c_str(), result);
}

std::string accept4(long s, const std::string &addrlen_before, long result, const std::string &addr,
                    const std::string &addrlen_after)
{
    std::string text = accept(s, addrlen_before, result, addr, addrlen_after);
    for (std::size_t at; (at = text.find("accept()")) != std::string::npos;) {
        text.replace(at, 8, "accept4()");
    }
    return text;
}

std::string bound_connect(long s, long s1, const std::string &hop)
{
    return format("connect()\t:\ts=%ld s1=%ld hop=%s\n", s, s1, hop.c_str());
}

std::string echo_shown(const std::string &shown)
{
    return "buf=" + shown + "\n";
}

}  // namespace lines
