// File helpers shared by the supervisor's modules.
#pragma once

// Copies SOURCE to DESTINATION (created with mode 0644), appended or overwritten; 0 or -1.
int filesScopy(const char *source, const char *destination, bool append);

// Runs COMMAND through "sh -c" and waits for it; the exit status, or -1 when it could not run.
int filesIrunShell(const char *command);

// 1 when PATH is a readable regular file or directory entry.
bool filesBreadable(const char *path);
