// The program's name and version: the project version of the build (CMakeLists.txt), handed
// to every folder as QUORVA_VERSION. The server's banner and --version, the client's
// --version and what the server writes into posted messages (PID kludge, tearline,
// default Origin) all take them from here.
#pragma once

#ifndef QUORVA_VERSION
#error "QUORVA_VERSION comes from the build: the project version in CMakeLists.txt"
#endif

constexpr char kProgramName[] = "Quorva";
constexpr char kProgramVersion[] = QUORVA_VERSION;
