// Finds the system's implementations of the interposed functions with
// dlsym(RTLD_NEXT), all at once, the first time any is needed.
#include "real_calls.hh"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

real_call_table table;
pthread_once_t table_once = PTHREAD_ONCE_INIT;

// Looks name up behind this library. A miss, or a hit on the library's own
// definition, would make every call of that function recurse or jump to
// nothing, so the process is stopped with a message instead.
template <typename Function, typename OwnDefinition>
void resolve(Function *&slot, const char *name, OwnDefinition *own_definition)
{
    void *found = dlsym(RTLD_NEXT, name);
    if (found == nullptr || found == reinterpret_cast<void *>(own_definition)) {
        std::fprintf(stderr, "kandrel: cannot find the system's %s; stopping\n", name);
        std::abort();
    }
    slot = reinterpret_cast<Function *>(found);
}

void resolve_all()
{
    resolve(table.socket, "socket", &::socket);
    resolve(table.socketpair, "socketpair", &::socketpair);
    resolve(table.bind, "bind", &::bind);
    resolve(table.listen, "listen", &::listen);
    resolve(table.accept, "accept", &::accept);
    resolve(table.shutdown, "shutdown", &::shutdown);
    resolve(table.getsockopt, "getsockopt", &::getsockopt);
    resolve(table.setsockopt, "setsockopt", &::setsockopt);
    resolve(table.getpeername, "getpeername", &::getpeername);
    resolve(table.getsockname, "getsockname", &::getsockname);
    resolve(table.recv, "recv", &::recv);
    resolve(table.recvfrom, "recvfrom", &::recvfrom);
    resolve(table.recvmsg, "recvmsg", &::recvmsg);
    resolve(table.close, "close", &::close);
    resolve(table.select, "select", &::select);
    resolve(table.read, "read", &::read);
    resolve(table.connect, "connect", &::connect);
    resolve(table.send, "send", &::send);
    resolve(table.sendto, "sendto", &::sendto);
    resolve(table.sendmsg, "sendmsg", &::sendmsg);
    resolve(table.write, "write", &::write);
    resolve(table.read_chk, "__read_chk", &::__read_chk);
    resolve(table.recv_chk, "__recv_chk", &::__recv_chk);
    resolve(table.recvfrom_chk, "__recvfrom_chk", &::__recvfrom_chk);
    resolve(table.accept4, "accept4", &::accept4);
    resolve(table.dup, "dup", &::dup);
    resolve(table.dup2, "dup2", &::dup2);
    resolve(table.dup3, "dup3", &::dup3);
    resolve(table.fcntl, "fcntl", &::fcntl);
    resolve(table.fcntl64, "fcntl64", &::fcntl64);
    resolve(table.close_range, "close_range", &::close_range);
    resolve(table.closefrom, "closefrom", &::closefrom);
    resolve(table.writev, "writev", &::writev);
    resolve(table.sendfile, "sendfile", &::sendfile);
    resolve(table.sendfile64, "sendfile64", &::sendfile64);
    resolve(table.sendmmsg, "sendmmsg", &::sendmmsg);
    resolve(table.splice, "splice", &::splice);
    resolve(table.syscall, "syscall", &::syscall);
    resolve(table.execve, "execve", &::execve);
    resolve(table.execv, "execv", &::execv);
    resolve(table.execvp, "execvp", &::execvp);
    resolve(table.execvpe, "execvpe", &::execvpe);
    resolve(table.longjmp, "longjmp", &::longjmp);
    resolve(table.siglongjmp, "siglongjmp", &::siglongjmp);
    resolve(table.longjmp_chk, "__longjmp_chk", &::__longjmp_chk);
}

}  // namespace

const real_call_table &real_calls()
{
    // pthread_once costs one atomic load once resolved, and makes a second
    // thread wait for the first rather than see a half-filled table.
    pthread_once(&table_once, resolve_all);
    return table;
}

int socket_option(int s, int option, int level)
{
    int value = -1;
    socklen_t size = sizeof value;
    return real_calls().getsockopt(s, level, option, &value, &size) == 0 ? value : -1;
}
