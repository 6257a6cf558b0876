// What a program says of its build with --version: the version, the compiler and the
// platform, in one place for every program.
#pragma once

// "0.1.0"
const char* build_version();
// "g++ 12.2.0 for Linux", "g++ ... for Windows x86-64"
const char* build_words();
