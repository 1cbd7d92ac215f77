#pragma once
// Ways to hand quarnel-cli a password that other users cannot read from the process list.

#include <string>

// The first line read from `fd`, without its line end (LF or CR LF); what follows it may be
// consumed. `empty` (when given) says whether the input ended before its first byte. False with
// `error` set when it cannot be read or its first line is longer than any password.
bool ReadPasswordLine(int fd, std::string& password, std::string& error, bool* empty);

// The first line of the file at `path`, without its line end (LF or CR LF). The file may be a
// pipe (`--password-file <(pass show ftp)`). False with `error` set when it cannot be read or its
// first line is longer than any password.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error);

// Shows `prompt` on standard error and reads one line from standard input, a terminal, with its
// echo off. The echo comes back however the read ends, a signal included. False when nothing
// could be read (end of input, or standard input is no terminal).
bool PromptPassword(const std::string& prompt, std::string& password);
