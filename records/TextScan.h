#pragma once

// Reads decimal integers from a text by a pattern of "%d" conversions and
// literal characters, with the rules of the C library's formatted input: "%d"
// skips white space and takes an optional sign and at least one digit, a blank
// in the pattern matches any run of white space (also none), any other pattern
// character must match exactly. Stops at the first mismatch and returns how
// many numbers were read. A number beyond the range of int is clamped to it, so
// that untrusted text never causes overflow.
int ScanIntegers(const char* text, const char* pattern, int* values, int maxValues);
