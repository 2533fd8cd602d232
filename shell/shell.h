// The platform's shell: /system/bin/sh on Android, /bin/sh elsewhere.
#pragma once

// system() with the platform's shell, looked up at each call (a statically
// linked C library's system() only knows /bin/sh). A null command answers
// whether a shell is available (non-zero) or not (0, errno set). Otherwise
// the command runs as `sh -c command` in a child and the caller waits for it,
// ignoring SIGINT and SIGQUIT and blocking SIGCHLD meanwhile; the result is
// the wait status, or -1 when no child could be started.
int shell_system(const char* command);
