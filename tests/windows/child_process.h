// A Windows child process with its stdin and stdout on pipes, for tests that drive other processes
// line by line (the segment peer, lodrin-host sessions).
#pragma once

#include <cstring>
#include <string>
#include <windows.h>

// The full path of `name` in the folder of the running test program.
inline std::string path_beside_self(const char* name) {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return std::string();
    std::string path(self);
    path.resize(path.find_last_of('\\') + 1);
    return path + name;
}

// A Unix path from the build (as CMake writes it) in the form Wine's loader takes: Z: is the root.
inline std::string windows_path(const char* path) {
    std::string p = path[0] == '/' ? std::string("Z:") + path : std::string(path);
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

struct child_process {
    PROCESS_INFORMATION pi{};
    HANDLE to_child = nullptr;
    HANDLE from_child = nullptr;
    std::string pending;

    // Starts `exe` with the arguments `args`; stderr goes to ours. False when it cannot start.
    bool start(const std::string& exe, const std::string& args) {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE child_in = nullptr, child_out = nullptr;
        if (!CreatePipe(&child_in, &to_child, &sa, 0)) return false;
        if (!CreatePipe(&from_child, &child_out, &sa, 0)) return false;
        SetHandleInformation(to_child, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(from_child, HANDLE_FLAG_INHERIT, 0);

        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = child_in;
        si.hStdOutput = child_out;
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        std::string cmd = "\"" + exe + "\" " + args;
        const BOOL ok =
            CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
        CloseHandle(child_in);
        CloseHandle(child_out);
        return ok != 0;
    }

    // One reply line without its newline; empty when the child closed its output.
    std::string line() {
        for (;;) {
            const size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                std::string l = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!l.empty() && l.back() == '\r') l.pop_back();
                return l;
            }
            char buf[256];
            DWORD got = 0;
            if (!ReadFile(from_child, buf, sizeof buf, &got, nullptr) || got == 0) return std::string();
            pending.append(buf, got);
        }
    }

    // One line, or empty when none arrives within `ms` milliseconds.
    std::string line_within(DWORD ms) {
        for (DWORD waited = 0;; waited += 10) {
            if (pending.find('\n') != std::string::npos) return line();
            DWORD avail = 0;
            if (!PeekNamedPipe(from_child, nullptr, 0, nullptr, &avail, nullptr)) return std::string();
            if (avail > 0) {
                char buf[256];
                DWORD got = 0;
                if (!ReadFile(from_child, buf, avail < sizeof buf ? avail : sizeof buf, &got, nullptr)) {
                    return std::string();
                }
                pending.append(buf, got);
                continue;
            }
            if (waited >= ms) return std::string();
            Sleep(10);
        }
    }

    // The first line starting with `prefix` within `ms` milliseconds (other lines are passed over), or
    // empty.
    std::string wait_for(const std::string& prefix, DWORD ms) {
        const DWORD start = GetTickCount();
        for (;;) {
            const DWORD spent = GetTickCount() - start;
            if (spent > ms) return std::string();
            const std::string l = line_within(ms - spent);
            if (l.rfind(prefix, 0) == 0) return l;
            if (l.empty() && GetTickCount() - start >= ms) return std::string();
        }
    }

    void send(const char* text) {
        DWORD put = 0;
        WriteFile(to_child, text, static_cast<DWORD>(strlen(text)), &put, nullptr);
    }

    bool wait_exit(DWORD ms = 20000) { return WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0; }

    ~child_process() {
        if (to_child != nullptr) CloseHandle(to_child); // end of input: the child leaves
        if (pi.hProcess != nullptr) {
            if (!wait_exit()) TerminateProcess(pi.hProcess, 1);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        if (from_child != nullptr) CloseHandle(from_child);
    }
};
