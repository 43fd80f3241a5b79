// Opening the maker's web page from the about box.
//
// Linux: xdg-open is started with posix_spawnp and the address as its one argument, never through a
// shell, so no character of the address is ever interpreted. The editor does not wait for it (the
// host's main thread must not block); each helper's process id is kept and reaped with a
// non-blocking waitpid once it has exited, so no zombies pile up in the host. Only our own children
// are waited for: the host's are none of our business.
// Windows: ShellExecuteA with the "open" verb.
//
// Everything here runs on the editor's thread (the host's main thread).
#include "edit_internal.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#else
#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

#if defined(_WIN32)

bool open_web_address(const char* address) {
    if (address == nullptr) return false;
    const HINSTANCE r = ShellExecuteA(nullptr, "open", address, nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<intptr_t>(r) > 32;
}

void reap_web_helpers() {}

#else

namespace {

constexpr int HELPER_MAX = 16;
pid_t helpers[HELPER_MAX];
int helper_count = 0;

} // namespace

void reap_web_helpers() {
    int kept = 0;
    for (int i = 0; i < helper_count; ++i) {
        int status = 0;
        const pid_t r = waitpid(helpers[i], &status, WNOHANG);
        // 0: still running. -1 with ECHILD: the host reaped it already (its SIGCHLD handler).
        if (r == 0 || (r < 0 && errno == EINTR)) helpers[kept++] = helpers[i];
    }
    helper_count = kept;
}

bool open_web_address(const char* address) {
    if (address == nullptr) return false;
    reap_web_helpers();
    // With every slot held by a helper still running, one more click opens nothing.
    if (helper_count >= HELPER_MAX) return false;
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return false;
    // The host may block or ignore signals on its main thread; the helper starts clean.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char program[] = "xdg-open";
    char* argv[] = {program, const_cast<char*>(address), nullptr};
    pid_t pid = -1;
    const int r = posix_spawnp(&pid, program, nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (r != 0 || pid <= 0) return false;
    helpers[helper_count++] = pid;
    return true;
}

#endif
