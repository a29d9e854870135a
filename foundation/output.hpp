#pragma once
// Checked output: every write is checked, and what stdio held of it is
// wiped once it is out.
#include <cstdio>
#include <string>

namespace foundation {

// Gives the stream a buffer of ours, large enough for a whole key, so that
// the only copy in stdio is one we can wipe. Call before any output on the
// stream.
void use_private_buffer(std::FILE* out) noexcept;

// Prints format, a printf format with one %s, with value. Throws
// std::system_error with failure as its text when it could not; the
// private buffer is then wiped and nothing is left pending.
void print_checked(std::FILE* out, const char* format, const char* value,
                   const std::string& failure);

// Flushes out and wipes the private buffer; throws as print_checked does.
void flush_checked(std::FILE* out, const std::string& failure);

// Any text, with the same checks, flushed: help, versions, reports.
void write_text(std::FILE* out, const std::string& text, const std::string& failure);

// The same on standard output, failing as "cannot write to standard output".
void write_out(const std::string& text);

}  // namespace foundation
