// The reliability tests' reading of the host protocol's JSON lines, on the checking library's
// reader, so that they judge the service with code that shares nothing with it.
//
// readJson reads any JSON value (nested arrays and objects included), for the service's output
// lines. readCommand reads a line the way the protocol defines a command line: one flat object
// of scalars, at most 32 members, no duplicate keys, number tokens of at most 64 bytes that
// convert to a finite double, strings without raw control bytes and with paired surrogates,
// at most 16384 bytes in all. Both keep the members in the order written.
//
// Any thread; allocate; never throw.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "check/json.h"

namespace reltest {

// The checking library's JSON value: members in the order written, numbers with their token.
using Json = mtccheck::Json;

std::optional<Json> readJson(const std::string& line);
std::optional<Json> readCommand(const std::string& line);

// What a well-formed output line of the service is: one of the four shapes, members in their
// fixed order, ids as plain digits. Returns an empty text when `line` is one, else why not.
std::string outputShapeFault(const std::string& line);

// A line with unprintable bytes escaped, for failure messages.
std::string printable(const std::string& line, size_t limit = 300);

}  // namespace reltest
