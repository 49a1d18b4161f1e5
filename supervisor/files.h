// File helpers shared by the supervisor's modules.
#pragma once

#include <string>

// Copies SOURCE to DESTINATION (created with mode 0644), appended or overwritten; 0 or -1.
int filesScopy(const char *source, const char *destination, bool append);

// Runs COMMAND through "sh -c" and waits for it; the exit status, or -1 when it could not run.
int filesIrunShell(const char *command);

// 1 when PATH is a readable regular file or directory entry.
bool filesBreadable(const char *path);

// 1 when PATH is a directory; a stat failure other than "no such file" is logged.
int filesBdirExists(const char *path);

constexpr const char *FILES_BLANKS = " \t\r\n";
// TEXT without blanks, tabs, CR and LF at either end.
std::string filesStrim(const std::string &text);

// Field INDEX (from 0) of a line's text split at '|'; false when the text has fewer fields.
bool filesBfield(const char *text, int index, std::string *field);
// The first word (blanks, tabs, CR and LF separate words) of field INDEX; empty when none.
std::string filesSfieldWord(const char *text, int index);

// Makes LINK point at TARGET, replacing an existing link or file (never a directory); 0, or -1 with
// errno set.
int filesSreplaceLink(const char *target, const char *link);

// A 'Z' line: "file.gz | directory"; 0 or -1.
int filesSuncompress(const char *rest);
// Uncompresses the gzip FILE into DIRECTORY under its base name without ".gz"; the output path, or empty
// when nothing complete was written (a partial output is deleted).
std::string filesOuncompressInDir(const char *file, const char *directory);
