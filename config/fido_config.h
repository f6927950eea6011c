// The husky tosser's own configuration (the fidoconfig language), read as the tosser reads
// it so that the sysop keeps one area list for both programs.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "config/config.h"
#include "support/array.h"

// A logical line (continuations joined, variables expanded) may hold this many characters;
// longer lines are reported and left out.
constexpr size_t kFidoLineMax = 65536;
// Included files nested deeper than this are refused.
constexpr int kFidoIncludeDepthMax = 16;
// Files opened in one reading, the main file and every include counted.
constexpr int kFidoFilesMax = 256;
// Variables a configuration may set.
constexpr size_t kFidoVariablesMax = 1024;
// Nested if blocks.
constexpr size_t kFidoBranchDepthMax = 64;

// Reads the file and the files it includes, and appends the areas the server can serve to
// `areas` in file order: echo and local areas kept in Squish bases as echomail, netmail
// areas kept as *.MSG directories as netmail. Every other area (JAM bases, passthrough
// areas, *.MSG echo areas, Squish netmail, the bad and dupe areas) gets one line
// "-> skipped area TAG (reason)" on standard output. Errors in the files are reported as
// error lines naming the file and the line, and reading goes on. The variable `module`
// starts as "hpt", as the tosser sets it. Relative include names are taken from the
// current directory, as the tosser takes them. False when the file itself cannot be
// opened (reported like any other error). `echoTossLog`, when given, gets the file the
// EchoTossLog statement names (empty without one), where the tosser looks for the tags of
// the areas to scan.
bool loadFidoConfig(const char* fileName, std::vector<mArea>& areas, std::string* echoTossLog = nullptr);
