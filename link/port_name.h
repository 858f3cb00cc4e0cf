// Turns the port name that the user typed (already upper-cased) into the name the operating
// system opens.
#pragma once

#include <string>

// POSIX device paths are case-sensitive, yet the name arrives upper-cased: each path component
// is matched case-insensitively against the directory that holds it and must match exactly one
// entry. A name without '/' is looked up in /dev. Returns the empty string when no single
// device answers to the name.
//
// Windows opens COM10 and above only through the "\\.\" prefix, so "COM" followed by digits
// gets it; every other name passes unchanged.
std::string resolve_port_name(const std::string& name);
