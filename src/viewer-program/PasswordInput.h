#pragma once

#include <QString>

// The password from standard input, for when none is given on the command line.
// At a terminal: "Password: " on standard error, one line read with echo off, its line end dropped.
// Otherwise (a pipe or a file): everything to the end, in pieces of 32 characters, stopping before a
// piece once more than 4096 are held; nothing is trimmed.
QString readPasswordFromStandardInput();
