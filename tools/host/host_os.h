// What the host needs from the operating system, in one place so that a port is one file:
// host_os_posix.cpp (dlopen, poll, getrusage) and host_os_win32.cpp (LoadLibrary, the console,
// process memory counters). Everything else in the host is portable C++.
#pragma once

#include <cstddef>
#include <cstdint>

// Loads the shared library at `path` with every symbol bound at once (RTLD_NOW | RTLD_LOCAL, as a DAW
// loads a plug-in). Returns an opaque handle, or null with the system's reason in `err`. [main-thread]
void* host_os_module_open(const char* path, char* err, size_t err_cap);

// The address of the exported symbol `name` in the module, or null. [main-thread]
void* host_os_module_symbol(void* module, const char* name);

// Unloads a module opened above. [main-thread]
void host_os_module_close(void* module);

// Monotonic clock in nanoseconds. [any-thread]
int64_t host_os_clock_ns();

// Sleeps for about `ns` nanoseconds (nothing for ns <= 0). [any-thread]
void host_os_sleep_ns(int64_t ns);

// Peak resident set size of this process in KiB, 0 when unknown. [any-thread]
uint64_t host_os_peak_rss_kib();

// This process's id. [any-thread]
uint32_t host_os_pid();

// Waits up to `timeout_ms` for a line's worth of input on standard input. Returns 1 when input (or its
// end) is ready, 0 on timeout. [main-thread]
int host_os_stdin_ready(int timeout_ms);

// Reads what standard input has (at most cap bytes) without stdio buffering. Returns the bytes read,
// 0 at the end of input, -1 on an error. [main-thread]
long host_os_stdin_read(char* buf, unsigned long cap);

// Waits up to `timeout_ms` for any of the `n` file descriptors with the CLAP_POSIX_FD_* interest
// flags `want[i]`; fills `got[i]` with the flags that are ready. Returns the number of ready
// descriptors (0 on timeout, and always 0 where the system has no descriptors to poll). [main-thread]
int host_os_poll_fds(const int* fds, const uint32_t* want, uint32_t* got, int n, int timeout_ms);

// Opens the named pipe (FIFO) at `path` for passing block tokens between host processes, without
// blocking and without depending on the other side being there (on Windows `path` names a semaphore
// of the session instead, made by whichever side comes first). Returns a descriptor or -1.
// [main-thread]
int host_os_token_open(const char* path);

// Waits up to `timeout_ms` for one token; true when one was taken. [main-thread]
bool host_os_token_take(int fd, int timeout_ms);

// Passes one token on (dropped when the pipe is full). [main-thread]
void host_os_token_pass(int fd);

// Closes a token pipe. [main-thread]
void host_os_close_token(int fd);

// True when `path` names an existing regular file that this process can read. [main-thread]
bool host_os_file_readable(const char* path);

// Makes `path` absolute (into out, capacity cap). False when it cannot. [main-thread]
bool host_os_absolute_path(const char* path, char* out, size_t cap);
