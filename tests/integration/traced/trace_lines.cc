// Expected trace lines, written out from the formats the library promises.
#include "trace_lines.hh"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace trace {

std::string format(const char *pattern, ...)
{
    va_list args;
    va_start(args, pattern);
    va_list again;
    va_copy(again, args);
    int size = std::vsnprintf(nullptr, 0, pattern, args);
    va_end(args);
    std::vector<char> text(static_cast<size_t>(size) + 1);
    std::vsnprintf(text.data(), text.size(), pattern, again);
    va_end(again);
    return std::string(text.data(), static_cast<size_t>(size));
}

std::string num(long value)
{
    return std::to_string(value);
}

std::string route_load(bool debug)
{
    std::string text = "init_route_tbl()\t:\ttimelog file opened\n";
    if (debug) {
        text += "init_route_rbl()\t:\tNo route table file defined\n";
    }
    return text;
}

std::string socket(const std::string &family, const std::string &type, const std::string &protocol, long result)
{
    return format("socket()\t:\tfamily=%s type=%s protocol=%s\n", family.c_str(), type.c_str(), protocol.c_str()) +
           format("socket()\t:\tsocket value = %ld\n", result);
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

std::string connect(long s, const std::string &name, long namelen, long result, bool debug)
{
    std::string text;
    if (debug) {
        text = "connect()\t:\tTable entry not found\n" +
               format("connect()\t:\ts=%ld name=%s namelen=%ld \n", s, name.c_str(), namelen);
    }
    return text + format("connect()\t:\treturn value = %ld\n", result);
}

std::string send(long s, const std::string &msg, long len, long flags, long result)
{
    return format("send()\t\t:\ts=%ld msg=%s len=%ld flags=%ld\n", s, msg.c_str(), len, flags) +
           format("send()\t\t:\treturn value = %ld\n", result);
}

std::string sendto(long result, bool debug)
{
    std::string before = debug ? "sendto() \t:\trtbl_ptr=0\n" : "";
    std::string after = debug ? "sendto()\t:\tReturning from sendto\n" : "";
    return before + after + format("sendto()\t:\treturn value = %ld\n", result);
}

std::string sendmsg(long s, const std::string &msg, long flags, long result)
{
    return format("sendmsg()\t:\ts=%ld msg=%s flags=%ld\n ", s, msg.c_str(), flags) +
           format("sendmsg()\t:\treturn value = %ld\n", result);
}

std::string write(bool debug)
{
    return debug ? "write()\t:\twrite called\nwrite()\t:\trtbl_ptr=0\n" : "";
}

}  // namespace trace
